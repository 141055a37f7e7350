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

// "heading: id id | heading+: id" in tree order; "+" marks a collapsed heading.
QString shape(const QTreeWidget *tree)
{
    QStringList groups;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *heading = tree->topLevelItem(i);
        QString text = heading->text(0) + (heading->isExpanded() ? ":" : "+:");
        for (int c = 0; c < heading->childCount(); ++c)
            text += ' ' + heading->child(c)->data(0, AddressBookColumn::idRole).toString();
        groups << text;
    }
    return groups.join(" | ");
}

const AddressBook book { PanelProfile { "a", "ЛИНИЯ 1", "192.168.1.218", "Цех", {}, "" },
    PanelProfile { "b", "Насос", "10.0.0.7", "цех", {}, "Смена Б" },
    PanelProfile { "c", "Котёл", "10.0.0.5", "", {}, "" },
    PanelProfile { "d", "Склад", "10.0.0.9", "Без группы", {}, "" },
    PanelProfile { "e", "Линия 2", "192.168.1.219", "Цех", {}, "" } };
const QString all = QStringLiteral("Цех: a e | цех: b | Без группы: c d");

} // namespace

class TestAddressBookColumn : public QObject
{
    Q_OBJECT

private slots:

    void filter_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("expected");
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
        QTest::newRow("group in any case") << "ЦЕХ"
                                           << "Цех: a e | цех: b";
    }

    void filter()
    {
        QFETCH(QString, search);
        QFETCH(QString, expected);
        AddressBookColumn column(&book);
        column.rebuild();
        column.findChild<QLineEdit *>()->setText(search);
        QCOMPARE(shape(column.findChild<QTreeWidget *>()), expected);
    }

    void collapsedGroupSurvivesRebuilds()
    {
        AddressBookColumn column(&book);
        auto *tree = column.findChild<QTreeWidget *>();
        auto *search = column.findChild<QLineEdit *>();
        column.rebuild();
        tree->topLevelItem(0)->setExpanded(false);
        tree->setCurrentItem(tree->topLevelItem(1)->child(0));

        search->setText("  ");
        QCOMPARE(shape(tree), QStringLiteral("Цех+: a e | цех: b | Без группы: c d"));
        QCOMPARE(column.currentProfileIndex(), 1);
        // A filter shows its matches expanded, so the group is open once it is cleared.
        search->setText("Линия");
        search->clear();
        QCOMPARE(shape(tree), all);
        QCOMPARE(column.currentProfileIndex(), 0);
    }

    void actionsNeedAPanelItem()
    {
        AddressBook shown;
        AddressBookColumn column(&shown);
        auto *tree = column.findChild<QTreeWidget *>();
        // Five controls are always enabled; four more need a panel item.
        auto enabled = [&] {
            int on = 0;
            for (QPushButton *b : column.findChildren<QPushButton *>())
                on += b->isEnabled();
            for (QAction *a : column.findChildren<QAction *>())
                on += a->isEnabled() && !a->text().isEmpty();
            return on;
        };
        column.rebuild();
        QCOMPARE(enabled(), 5);
        shown = book;
        column.rebuild();
        QCOMPARE(enabled(), 9);

        // A heading can become current (by keyboard) but is no panel: nothing to act on or open.
        QSignalSpy opened(&column, &AddressBookColumn::openRequested);
        tree->setCurrentItem(tree->topLevelItem(0));
        QCOMPARE(column.currentProfileIndex(), -1);
        QCOMPARE(enabled(), 5);
        emit tree->itemDoubleClicked(tree->topLevelItem(0), 0);
        emit tree->itemDoubleClicked(tree->topLevelItem(0)->child(1), 0);
        QCOMPARE(opened.count(), 1);
    }
};

QTEST_MAIN(TestAddressBookColumn)
#include "tst_addressbookcolumn.moc"
