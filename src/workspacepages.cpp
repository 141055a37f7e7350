#include "workspacepages.h"

#include "cellrules.h"
#include "session.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QVBoxLayout>

namespace WorkspacePages {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("WorkspacePages", text);
}

QLabel *label(const QString &text, const QString &objectName, QWidget *parent)
{
    auto *l = new QLabel(text, parent);
    l->setObjectName(objectName);
    return l;
}

// Cell k's panel selector: "Ячейка k+1 · выбрать панель", then one item per record of the
// book as it is now; the current item is the cell's panel (else the first).
void listPanels(QComboBox *selector, int k, const CellRules &cells, const AddressBook &book)
{
    selector->clear();
    selector->addItem(tr("Ячейка %1 · выбрать панель").arg(k + 1), QString());
    for (const PanelProfile &profile : book)
        selector->addItem(profile.name, profile.id);
    const QString id = cells.cellId(k);
    const int current = id.isEmpty() ? 0 : selector->findData(id, Qt::UserRole, Qt::MatchExactly);
    selector->setCurrentIndex(current < 0 ? 0 : current);
}

QWidget *cell(int k, const CellRules &cells, const AddressBook &book,
    const QList<Session *> &sessions, QComboBox **selector)
{
    auto *widget = new QWidget;
    auto *layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(5);

    auto *choice = new QComboBox(widget);
    choice->setObjectName(QStringLiteral("slot%1").arg(k));
    choice->setAccessibleName(tr("Ячейка %1").arg(k + 1));
    choice->setAccessibleDescription(choice->accessibleName()); // Linux names it by its text
    listPanels(choice, k, cells, book);
    layout->addWidget(choice);
    const QString id = cells.cellId(k);
    *selector = choice;

    Session *shown = nullptr;
    for (Session *session : sessions) {
        if (!id.isEmpty() && session->profileId() == id) {
            shown = session;
            break;
        }
    }
    if (shown) {
        layout->addWidget(shown, 1);
        shown->show();
    } else {
        auto *empty = label(tr("Выберите панель в списке выше.\n"
                               "Подключение запускается кнопкой «Подключить»."),
            QStringLiteral("emptyTile"), widget);
        empty->setAlignment(Qt::AlignCenter);
        empty->setWordWrap(true);
        layout->addWidget(empty, 1);
    }
    return widget;
}

} // namespace

QPushButton *fillExpanded(QWidget *page, Session *session)
{
    auto *back = new QPushButton(tr("← Вернуться к раскладке"), page);
    back->setAccessibleName(back->text());
    page->layout()->addWidget(back);
    page->layout()->setAlignment(back, Qt::AlignLeft);
    page->layout()->addWidget(session);
    static_cast<QVBoxLayout *>(page->layout())->setStretchFactor(session, 1);
    session->show();
    return back;
}

QTabWidget *fillTabs(QWidget *page, const QList<Session *> &sessions, Session *current)
{
    auto *tabs = new QTabWidget(page);
    tabs->setObjectName(QStringLiteral("sessionTabs"));
    tabs->setAccessibleName(tr("Сеансы"));
    tabs->setDocumentMode(true);
    tabs->setTabsClosable(true);
    for (Session *session : sessions) {
        tabs->addTab(session, session->profile().name);
        session->show();
    }
    if (current && tabs->indexOf(current) >= 0)
        tabs->setCurrentWidget(current);
    page->layout()->addWidget(tabs);
    return tabs;
}

QPushButton *fillWelcome(QWidget *page)
{
    auto *layout = new QVBoxLayout;
    layout->setContentsMargins(44, 30, 44, 30);
    layout->addStretch();
    layout->addWidget(
        label(tr("ПЕЛОРИН И К / УДАЛЁННЫЙ ДОСТУП"), QStringLiteral("accentLabel"), page));
    layout->addWidget(label(tr("Оборудование\nперед вами."), QStringLiteral("welcomeTitle"), page));
    QLabel *text = label(tr("Откройте панель из адресной книги или добавьте новую.\n"
                            "Работайте с одним экраном или наблюдайте сразу за четырьмя."),
        QStringLiteral("welcomeText"), page);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto *add = new QPushButton(tr("+  Добавить панель"), page);
    add->setObjectName(QStringLiteral("primary"));
    add->setAccessibleName(add->text());
    layout->addWidget(add, 0, Qt::AlignLeft);
    layout->addStretch();
    static_cast<QVBoxLayout *>(page->layout())->addLayout(layout);
    return add;
}

QList<QComboBox *> fillCells(QWidget *page, const CellRules &cells, const AddressBook &book,
    const QList<Session *> &sessions)
{
    QList<QComboBox *> selectors;
    auto *rows = new QSplitter(Qt::Vertical, page);
    rows->setChildrenCollapsible(false);
    const int rowCount = cells.layoutMode() / 2;
    for (int r = 0; r < rowCount; ++r) {
        auto *row = new QSplitter(Qt::Horizontal, rows);
        row->setChildrenCollapsible(false);
        for (int c = 0; c < 2; ++c) {
            QComboBox *selector = nullptr;
            row->addWidget(cell(2 * r + c, cells, book, sessions, &selector));
            selectors.append(selector);
        }
        row->setSizes({ 600, 600 });
    }
    rows->setSizes({ 500, 500 });
    page->layout()->addWidget(rows);
    return selectors;
}

} // namespace WorkspacePages
