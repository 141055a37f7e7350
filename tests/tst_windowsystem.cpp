// Moving and resizing frameless windows for real: an X server with a window
// manager, and the pointer driven through the server with xdotool.
#include "chromedialog.h"
#include "mainwindow.h"

#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

namespace {

bool xdotool(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), args);
    return process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
}

bool pointerTo(QPoint global)
{
    return xdotool({QStringLiteral("mousemove"), QString::number(global.x()),
                    QString::number(global.y())});
}

// Presses the left button at from, drags in small steps to to and releases;
// the events reach the program through the X server, as a user's would.
bool drag(QPoint from, QPoint to)
{
    if (!pointerTo(from))
        return false;
    QTest::qWait(100);
    if (!xdotool({QStringLiteral("mousedown"), QStringLiteral("1")}))
        return false;
    // Let the program see the press and hand the pointer to the window manager.
    QTest::qWait(250);
    const int steps = 6;
    for (int i = 1; i <= steps; ++i) {
        if (!pointerTo(from + (to - from) * i / steps))
            return false;
        QTest::qWait(40);
    }
    QTest::qWait(100);
    const bool released = xdotool({QStringLiteral("mouseup"), QStringLiteral("1")});
    QTest::qWait(200);
    return released;
}

bool click(QPoint global)
{
    if (!pointerTo(global))
        return false;
    QTest::qWait(100);
    const bool clicked = xdotool({QStringLiteral("click"), QStringLiteral("1")});
    QTest::qWait(250);
    return clicked;
}

// Waits until the window manager has placed the window and stopped moving it.
void settle(QWidget *window)
{
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QRect last;
    for (int i = 0; i < 20; ++i) {
        QTest::qWait(50);
        if (window->geometry() == last)
            return;
        last = window->geometry();
    }
}

bool near(QPoint a, QPoint b)
{
    return (a - b).manhattanLength() <= 3;
}

} // namespace

class TestWindowSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QGuiApplication::platformName() == QLatin1String("xcb"),
                 "these tests need the xcb platform and an X server with a window manager "
                 "(the test command starts Xvfb with openbox)");
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty(),
                 "xdotool is missing (Debian package xdotool)");
    }

    void dragTitleBar_data()
    {
        QTest::addColumn<bool>("fullScreen");
        QTest::newRow("normal window moves") << false;
        QTest::newRow("full-screen window stays") << true;
    }

    void dragTitleBar()
    {
        QFETCH(bool, fullScreen);

        MainWindow window;
        if (fullScreen)
            window.showFullScreen();
        else
            window.show();
        settle(&window);
        QCOMPARE(window.isFullScreen(), fullScreen);

        auto *bar = window.findChild<QWidget *>(QStringLiteral("windowBar"));
        QVERIFY(bar);
        const QPoint start = window.pos();
        const QPoint grip = bar->mapToGlobal(QPoint(300, bar->height() / 2));
        // Drag towards the middle of the screen so the window stays on it.
        const QPoint delta(start.x() > 100 ? -90 : 90, start.y() > 50 ? -40 : 40);
        QVERIFY(drag(grip, grip + delta));

        const QPoint expected = fullScreen ? start : start + delta;
        QTRY_VERIFY2_WITH_TIMEOUT(near(window.pos(), expected),
                                  qPrintable(QStringLiteral("window at %1,%2, expected %3,%4")
                                                     .arg(window.pos().x())
                                                     .arg(window.pos().y())
                                                     .arg(expected.x())
                                                     .arg(expected.y())),
                                  3000);
        QCOMPARE(window.isFullScreen(), fullScreen);
    }

    void resizeDialogFromEdge_data()
    {
        QTest::addColumn<QPoint>("grip"); // in dialog coordinates; negative counts from the far edge
        QTest::addColumn<QPoint>("delta");
        QTest::addColumn<QRect>("change"); // expected change of x, y, width, height
        QTest::newRow("bottom-right corner, 3 px in")
                << QPoint(-3, -3) << QPoint(120, 80) << QRect(0, 0, 120, 80);
        QTest::newRow("left edge") << QPoint(2, 160) << QPoint(-60, 0) << QRect(-60, 0, 60, 0);
        QTest::newRow("top edge") << QPoint(250, 1) << QPoint(0, -50) << QRect(0, -50, 0, 50);
        QTest::newRow("7 px inside the corner does nothing")
                << QPoint(-7, -7) << QPoint(120, 80) << QRect(0, 0, 0, 0);
    }

    void resizeDialogFromEdge()
    {
        QFETCH(QPoint, grip);
        QFETCH(QPoint, delta);
        QFETCH(QRect, change);

        ChromeDialog dialog(QStringLiteral("Проверка"));
        dialog.resize(500, 320);
        dialog.move(400, 300);
        dialog.show();
        settle(&dialog);
        const QRect before = dialog.geometry();
        QCOMPARE(before.size(), QSize(500, 320));

        const QPoint local(grip.x() < 0 ? before.width() + grip.x() : grip.x(),
                           grip.y() < 0 ? before.height() + grip.y() : grip.y());
        const QPoint from = dialog.mapToGlobal(local);
        QVERIFY(drag(from, from + delta));

        const QRect expected(before.x() + change.x(), before.y() + change.y(),
                             before.width() + change.width(), before.height() + change.height());
        QTRY_VERIFY2_WITH_TIMEOUT(
                near(dialog.geometry().topLeft(), expected.topLeft())
                        && near(QPoint(dialog.width(), dialog.height()),
                                QPoint(expected.width(), expected.height())),
                qPrintable(QStringLiteral("geometry %1,%2 %3x%4")
                                   .arg(dialog.x())
                                   .arg(dialog.y())
                                   .arg(dialog.width())
                                   .arg(dialog.height())),
                3000);
    }

    // A press in the band belongs to the resize, even on a button; 7 px in, the
    // button gets it.
    void buttonInTheBand_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("clicks");
        QTest::newRow("3 px from the edge") << 3 << 0;
        QTest::newRow("7 px from the edge") << 7 << 1;
    }

    void buttonInTheBand()
    {
        QFETCH(int, x);
        QFETCH(int, clicks);

        ChromeDialog dialog(QStringLiteral("Проверка"));
        dialog.resize(500, 320);
        dialog.move(400, 300);
        auto *button = new QPushButton(QStringLiteral("У края"), &dialog);
        button->setGeometry(0, 150, 90, 36);
        button->raise();
        QSignalSpy clicked(button, &QPushButton::clicked);
        dialog.show();
        settle(&dialog);
        const QSize before = dialog.size();

        QVERIFY(click(dialog.mapToGlobal(QPoint(x, 160))));
        QTRY_COMPARE_WITH_TIMEOUT(clicked.count(), clicks, 1000);
        QTest::qWait(200);
        QCOMPARE(clicked.count(), clicks);
        QCOMPARE(dialog.size(), before);
    }

    void maximisedWindowHasNoEdges()
    {
        MainWindow window;
        window.showMaximized();
        settle(&window);
        QVERIFY(window.isMaximized());
        const QRect before = window.geometry();

        const QPoint corner = window.mapToGlobal(QPoint(window.width() - 3, window.height() - 3));
        QVERIFY(drag(corner, corner - QPoint(200, 150)));
        QTest::qWait(300);
        QCOMPARE(window.geometry(), before);
        QVERIFY(window.isMaximized());
    }
};

QTEST_MAIN(TestWindowSystem)
#include "tst_windowsystem.moc"
