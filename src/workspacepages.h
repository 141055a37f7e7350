#pragma once

#include "addressbook.h"

#include <QList>

class CellRules;
class QComboBox;
class QPushButton;
class QTabWidget;
class QWidget;
class Session;

// Builders of the four kinds of workspace page. Each fills an empty page
// (a widget with a vertical layout of margins 0) and hands back the widgets
// whose actions the main window connects; the sessions are reparented into
// the page and shown. The window decides which page to build and owns the
// state; these only lay it out.
namespace WorkspacePages {

// The one expanded session under a return button; returns the button.
QPushButton *fillExpanded(QWidget *page, Session *session);

// One tab per session, labelled with its panel's name; current is made the
// current tab when it is one of them.
QTabWidget *fillTabs(QWidget *page, const QList<Session *> &sessions, Session *current);

// The greeting shown while nothing is open; returns its "add a panel" button.
QPushButton *fillWelcome(QWidget *page);

// The cells the layout shows (one row of two, or two rows): each a panel
// selector over the book and either the session of its cell or an empty tile.
// Returns the selectors, index = cell.
QList<QComboBox *> fillCells(QWidget *page, const CellRules &cells, const AddressBook &book,
    const QList<Session *> &sessions);

} // namespace WorkspacePages
