// The address book column: group headings, the search filter, groups the user collapsed, and
// the rule that enables the actions needing a selected panel.
#include "addressbookcolumn.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeWidget>
#include <QtTest>

namespace {

PanelProfile record(const QString &id, const QString &name, const QString &host,
    const QString &group, const QString &notes = QString())
{
    PanelProfile p;
    p.id = id;
    p.name = name;
    p.host = host;
    p.group = group;
    p.notes = notes;
    return p;
}

// "heading: id id | heading: id" in tree order, "+" after a collapsed heading's label.
QString shape(const QTreeWidget *tree)
{
    QStringList groups;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *heading = tree->topLevelItem(i);
        QStringList ids;
        for (int c = 0; c < heading->childCount(); ++c)
            ids << heading->child(c)->data(0, AddressBookColumn::idRole).toString();
        groups << QStringLiteral("%1%2: %3")
                      .arg(heading->text(0),
                          heading->isExpanded() ? QString() : QStringLiteral("+"),
                          ids.join(QLatin1Char(' ')));
    }
    return groups.join(QStringLiteral(" | "));
}

} // namespace

class TestAddressBookColumn : public QObject
{
    Q_OBJECT

    AddressBook book { record("a", "ЛИНИЯ 1", "192.168.1.218", "Цех"),
        record("b", "Насос", "10.0.0.7", "цех", "Смена Б"), record("c", "Котёл", "10.0.0.5", ""),
        record("d", "Склад", "10.0.0.9", "Без группы"),
        record("e", "Линия 2", "192.168.1.219", "Цех") };

private slots:
    void filter_data();
    void filter();
    void collapsedGroupSurvivesRebuilds();
    void actionsNeedAPanelItem();
};

void TestAddressBookColumn::filter_data()
{
    QTest::addColumn<QString>("search");
    QTest::addColumn<QString>("expected");
    const QString all = QStringLiteral("Цех: a e | цех: b | Без группы: c d");
    QTest::newRow("no filter: exact labels, shared empty group") << "" << all;
    QTest::newRow("spaces only") << "   " << all;
    QTest::newRow("Cyrillic case folding") << "линия"
                                           << "Цех: a e";
    QTest::newRow("port is not searched") << "5900"
                                          << "";
    QTest::newRow("across the name–host space") << "1 192.168"
                                                << "Цех: a";
    QTest::newRow("notes, trimmed") << "  смена б "
                                    << "цех: b";
    QTest::newRow("group text matches any case") << "ЦЕХ"
                                                 << "Цех: a e | цех: b";
}

void TestAddressBookColumn::filter()
{
    QFETCH(QString, search);
    QFETCH(QString, expected);
    AddressBookColumn column(&book);
    column.rebuild();
    column.findChild<QLineEdit *>()->setText(search);
    QCOMPARE(shape(column.findChild<QTreeWidget *>()), expected);
}

void TestAddressBookColumn::collapsedGroupSurvivesRebuilds()
{
    AddressBookColumn column(&book);
    auto *tree = column.findChild<QTreeWidget *>();
    auto *search = column.findChild<QLineEdit *>();
    column.rebuild();
    tree->topLevelItem(0)->setExpanded(false);
    tree->setCurrentItem(tree->topLevelItem(1)->child(0));

    search->setText(QStringLiteral("  "));
    QCOMPARE(shape(tree), QStringLiteral("Цех+: a e | цех: b | Без группы: c d"));
    QCOMPARE(column.currentProfileIndex(), 1);
    // A filter shows its matches expanded; the group then stays open.
    search->setText(QStringLiteral("Линия"));
    QCOMPARE(shape(tree), QStringLiteral("Цех: a e"));
    search->clear();
    QCOMPARE(shape(tree), QStringLiteral("Цех: a e | цех: b | Без группы: c d"));
    QCOMPARE(column.currentProfileIndex(), 0);
}

void TestAddressBookColumn::actionsNeedAPanelItem()
{
    AddressBook empty;
    AddressBookColumn column(&empty);
    column.rebuild();
    const auto buttons = column.findChildren<QPushButton *>();
    const auto actions = column.findChildren<QAction *>();
    auto enabled = [&] {
        QStringList on;
        for (QPushButton *b : buttons)
            if (b->isEnabled())
                on << b->text();
        for (QAction *a : actions)
            if (a->isEnabled() && !a->text().isEmpty())
                on << a->text();
        return on.join(QLatin1Char(','));
    };
    const QString always
        = QStringLiteral("+  Новая панель,Ещё ▾,Выход,Импорт адресной книги…,Экспорт без паролей…");
    QCOMPARE(enabled(), always);

    empty = book;
    column.rebuild();
    QCOMPARE(enabled(),
        QStringLiteral("+  Новая панель,Открыть панель →,Изменить,Ещё ▾,Выход,"
                       "Дублировать панель,Удалить панель,Импорт адресной книги…,"
                       "Экспорт без паролей…"));

    auto *tree = column.findChild<QTreeWidget *>();
    QSignalSpy opened(&column, &AddressBookColumn::openRequested);
    tree->setCurrentItem(tree->topLevelItem(0));
    QCOMPARE(column.currentProfileIndex(), -1);
    QCOMPARE(enabled(), always);
    emit tree->itemDoubleClicked(tree->topLevelItem(0), 0);
    QCOMPARE(opened.count(), 0);
    emit tree->itemDoubleClicked(tree->topLevelItem(0)->child(1), 0);
    QCOMPARE(opened.count(), 1);
}

QTEST_MAIN(TestAddressBookColumn)
#include "tst_addressbookcolumn.moc"
