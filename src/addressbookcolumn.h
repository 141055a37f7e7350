#pragma once

#include "addressbook.h"

#include <QFrame>

class QAction;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// The address book column at the left of the main window: the panels as a
// tree of group headings and panel items, filtered by a search text, and the
// buttons that act on them. It shows the book it is given (owned by the
// window, which must outlive the column) and reports what the user asks for
// by signals; the window carries the actions out and calls rebuild() after
// every change of the book.
class AddressBookColumn : public QFrame
{
    Q_OBJECT

public:
    // Tree items hold their record's id under this role; headings hold nothing.
    static constexpr int idRole = Qt::UserRole;

    explicit AddressBookColumn(const AddressBook *book, QWidget *parent = nullptr);

    // Refills the tree from the book and the search text, keeping the current
    // panel and the groups the user collapsed (while no filter is active).
    void rebuild();
    // The book index of the current panel item, or -1 (none, a heading, or an
    // id the book no longer has).
    int currentProfileIndex() const;

    // Whether a record is listed under the filter (case folded, the port not
    // searched). An empty or blank filter lists every record.
    static bool matches(const PanelProfile &profile, const QString &filter);

signals:
    void newPanelRequested();
    void editRequested();
    void openRequested();
    void duplicateRequested();
    void deleteRequested();
    void importRequested();
    void exportRequested();
    void exitRequested();

private:
    void applyEnableRule();
    void onItemDoubleClicked(QTreeWidgetItem *item);

    const AddressBook *book;
    QLineEdit *search = nullptr;
    QTreeWidget *tree = nullptr;
    QPushButton *openButton = nullptr;
    QPushButton *editButton = nullptr;
    QAction *duplicateAction = nullptr;
    QAction *deleteAction = nullptr;
};
