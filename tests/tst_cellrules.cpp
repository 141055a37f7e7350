// The cell rules as a small language: open, choose, empty and close panels, switch layouts, and
// compare the four cells and the selection the workspace would show afterwards.
#include "cellrules.h"

#include <QtTest>

class TestCellRules : public QObject
{
    Q_OBJECT

private slots:
    void script_data();
    void script();
};

void TestCellRules::script_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expectedCells"); // cells 0–3, "-" for empty
    QTest::addColumn<QString>("expectedSelected"); // after the cells page's fix-up

    QTest::newRow("fifth panel goes into the selected cell 2")
        << "mode 4; open a; open b; open c; open d; select c; open e"
        << "a b e d"
        << "e";
    QTest::newRow("panel of cell 0 chosen in cell 1 swaps") << "mode 2; open a; open b; open a@1"
                                                            << "b a - -"
                                                            << "a";
    QTest::newRow("three tabs then two cells fill cells 0, 1 and 2")
        << "open a; open b; open c; mode 2"
        << "a b c -"
        << "a";
    QTest::newRow("four cells then show the third")
        << "open a; open b; open c; mode 2; mode 4; select c"
        << "a b c -"
        << "c";
    QTest::newRow("first selector item empties the cell") << "mode 2; open a; open b; clear 0"
                                                          << "- b - -"
                                                          << "b";
    QTest::newRow("an open panel already shown stays put") << "mode 2; open a; open b; open a"
                                                           << "a b - -"
                                                           << "a";
    QTest::newRow("hidden panel swaps into the selected shown cell")
        << "mode 4; open a; open b; open c; open d; mode 2; select b; open d"
        << "a d c b"
        << "d";
    QTest::newRow("selection in a hidden cell: cell 0 is taken")
        << "mode 2; open a; open b; open c@3; open d"
        << "d b - c"
        << "d";
    QTest::newRow("layout 3 and 0 change nothing") << "mode 2; open a; mode 3; mode 0; open b"
                                                   << "a b - -"
                                                   << "b";
    QTest::newRow("closing empties the cell and moves the selection")
        << "mode 2; open a; open b; close b"
        << "a - - -"
        << "a";
    QTest::newRow("restore drops a repeated id and an unknown mode") << "restore 3 a,x,a,b,c"
                                                                     << "a x - b"
                                                                     << "";
}

void TestCellRules::script()
{
    QFETCH(QString, script);
    QFETCH(QString, expectedCells);
    QFETCH(QString, expectedSelected);

    CellRules rules;
    QStringList sessions;
    QString selected;
    for (const QString &step : script.split(QLatin1Char(';'))) {
        const QStringList word = step.trimmed().split(QLatin1Char(' '));
        const QString op = word.at(0);
        if (op == QLatin1String("open")) {
            const QStringList target = word.at(1).split(QLatin1Char('@'));
            const QString id = target.at(0);
            if (!sessions.contains(id))
                sessions.append(id);
            rules.place(id, target.size() > 1 ? target.at(1).toInt() : -1, selected);
            selected = id;
        } else if (op == QLatin1String("mode")) {
            rules.setLayoutMode(word.at(1).toInt(), sessions);
        } else if (op == QLatin1String("select")) {
            selected = word.at(1);
        } else if (op == QLatin1String("clear")) {
            rules.clearCell(word.at(1).toInt());
        } else if (op == QLatin1String("close")) {
            rules.removeId(word.at(1));
            sessions.removeOne(word.at(1));
        } else if (op == QLatin1String("restore")) {
            rules.restore(word.at(1).toInt(), word.at(2).split(QLatin1Char(',')));
        } else {
            QFAIL(qPrintable(step));
        }
    }

    QStringList cells = rules.cellIds();
    QCOMPARE(cells.size(), CellRules::cellCount);
    for (QString &cell : cells)
        cell = cell.isEmpty() ? QStringLiteral("-") : cell;
    QCOMPARE(cells.join(QLatin1Char(' ')), expectedCells);
    if (rules.layoutMode() > 1)
        selected = rules.fixSelection(selected, sessions);
    else
        selected.clear();
    QCOMPARE(selected, expectedSelected);
}

QTEST_GUILESS_MAIN(TestCellRules)
#include "tst_cellrules.moc"
