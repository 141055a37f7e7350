// Where the main window opens: screens as "x,y WxH" areas separated by ";", the home screen,
// the restored geometry ("" for none), and the expected geometry and minimum size.
#include "windowplacement.h"

#include <QtTest>

namespace {

QRect rect(const QString &text)
{
    const QStringList part = text.split(QRegularExpression(QStringLiteral("[, x]")));
    return text.isEmpty() ? QRect()
                          : QRect(part[0].toInt(), part[1].toInt(), part[2].toInt(), part[3].toInt());
}

} // namespace

class TestWindowPlacement : public QObject
{
    Q_OBJECT

private slots:
    void place_data()
    {
        QTest::addColumn<QString>("screens");
        QTest::addColumn<int>("home");
        QTest::addColumn<QString>("restored");
        QTest::addColumn<QString>("geometry");
        QTest::addColumn<QString>("minimum");
        QTest::newRow("1600x1000: designed sizes, centred")
            << "0,0 1600x1000" << 0 << "" << "100,50 1400x900" << "0,0 1100x700";
        QTest::newRow("1366x768") << "0,0 1366x768" << 0 << "" << "0,0 1366x768" << "0,0 1100x700";
        QTest::newRow("1280x1024") << "0,0 1280x1024" << 0 << "" << "0,62 1280x900"
                                   << "0,0 1100x700";
        QTest::newRow("1280x720 at 150 %, less a taskbar")
            << "0,0 1280x680" << 0 << "" << "0,0 1280x680" << "0,0 1100x680";
        QTest::newRow("opens on the home screen")
            << "-1920,0 1920x1080;0,0 1366x728" << 1 << "" << "0,0 1366x728" << "0,0 1100x700";
        QTest::newRow("restored on a screen stays")
            << "0,0 1920x1080" << 0 << "200,100 1400x900" << "200,100 1400x900" << "0,0 1100x700";
        QTest::newRow("restored across two screens stays")
            << "0,0 1600x1000;1600,0 1600x1000" << 0 << "1000,50 1400x900" << "1000,50 1400x900"
            << "0,0 1100x700";
        QTest::newRow("restored on a removed monitor comes back centred")
            << "0,0 1600x1000" << 0 << "1700,100 1200x800" << "200,100 1200x800" << "0,0 1100x700";
        QTest::newRow("restored beyond both screens comes back on home")
            << "0,0 1600x1000;1600,0 1600x1000" << 0 << "4000,100 1200x800"
            << "200,100 1200x800"
            << "0,0 1100x700";
        QTest::newRow("restored half off moves onto its screen")
            << "0,0 1600x1000" << 0 << "900,500 1200x800" << "400,200 1200x800" << "0,0 1100x700";
        QTest::newRow("restored above the top comes down")
            << "0,0 1600x1000" << 0 << "100,-300 1200x800" << "100,0 1200x800" << "0,0 1100x700";
        QTest::newRow("restored larger than today's screen shrinks to it")
            << "0,0 1366x768" << 0 << "100,100 1400x900" << "0,0 1366x768" << "0,0 1100x700";
        QTest::newRow("restored below the minimum grows, then fits")
            << "0,0 1600x1000" << 0 << "800,600 900x500" << "500,300 1100x700" << "0,0 1100x700";
        QTest::newRow("restored mostly on the smaller second screen")
            << "0,0 1920x1080;1920,0 1280x680" << 0 << "1800,0 1300x700" << "1920,0 1280x680"
            << "0,0 1100x680";
        QTest::newRow("no screen: designed sizes") << "" << 0 << "" << "0,0 1400x900"
                                                   << "0,0 1100x700";
    }

    void place()
    {
        QFETCH(QString, screens);
        QFETCH(int, home);
        QFETCH(QString, restored);
        QFETCH(QString, geometry);
        QFETCH(QString, minimum);
        QList<QRect> areas;
        for (const QString &area : screens.split(';', Qt::SkipEmptyParts))
            areas.append(rect(area));
        const WindowPlacement::Result result
            = WindowPlacement(QSize(1400, 900), QSize(1100, 700)).place(areas, home, rect(restored));
        QCOMPARE(result.geometry, rect(geometry));
        QCOMPARE(result.minimum, rect(minimum).size());
    }
};

QTEST_APPLESS_MAIN(TestWindowPlacement)
#include "tst_windowplacement.moc"
