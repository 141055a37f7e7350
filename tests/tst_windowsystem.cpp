// Moving, resizing and restoring frameless windows for real: an X server with a
// window manager, and the pointer driven through the server with xdotool.
#include "chromedialog.h"
#include "mainwindow.h"
#include "singleinstance.h"

#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

namespace {

// Runs one xdotool command line while the event loop keeps running, so the
// program sees every press and release when it happens, as with a real user.
bool xdotool(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), args);
    if (!process.waitForStarted(30000))
        return false;
    if (!QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 30000))
        return false;
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QStringList moveTo(QPoint global)
{
    return {QStringLiteral("mousemove"), QString::number(global.x()), QString::number(global.y())};
}

QStringList pause(double seconds)
{
    return {QStringLiteral("sleep"), QString::number(seconds)};
}

QStringList button(const char *upOrDown)
{
    return {QLatin1String("mouse") + QLatin1String(upOrDown), QStringLiteral("1")};
}

bool pointerTo(QPoint global)
{
    return xdotool(moveTo(global) + pause(0.1));
}

// Presses the left button at from, drags in small steps to to and releases.
bool drag(QPoint from, QPoint to)
{
    QStringList script = moveTo(from) + pause(0.1) + button("down") + pause(0.25);
    const int steps = 6;
    for (int i = 1; i <= steps; ++i)
        script += moveTo(from + (to - from) * i / steps) + pause(0.04);
    script += pause(0.1) + button("up") + pause(0.2);
    return xdotool(script);
}

// Left clicks at global, holding the button about as long as a hand does.
bool click(QPoint global, int count = 1)
{
    QStringList script = moveTo(global) + pause(0.1);
    for (int i = 0; i < count; ++i)
        script += button("down") + pause(0.08) + button("up") + pause(0.12);
    return xdotool(script + pause(0.15));
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

private:
    QTemporaryDir settingsDir;

private slots:
    void initTestCase()
    {
        // The main window reads its settings (geometry, workspace): start empty.
        QVERIFY(settingsDir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
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
                                  10000);
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
                10000);
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
        QTRY_COMPARE_WITH_TIMEOUT(clicked.count(), clicks, 10000);
        QTest::qWait(200);
        QCOMPARE(clicked.count(), clicks);
        QCOMPARE(dialog.size(), before);
    }

    // Each press hands the pointer to the window manager; a click without a drag
    // must give it back at once, and a double-click must still reach the bar.
    void clickAndDoubleClickTitleBar()
    {
        MainWindow window;
        window.show();
        settle(&window);
        auto *bar = window.findChild<QWidget *>(QStringLiteral("windowBar"));
        QVERIFY(bar);
        const QRect normal = window.geometry();
        const QPoint grip(300, bar->height() / 2);

        // A plain click leaves the window where it is, also when the pointer moves on.
        QVERIFY(click(bar->mapToGlobal(grip)));
        QVERIFY(pointerTo(bar->mapToGlobal(grip) + QPoint(80, 60)));
        QCOMPARE(window.geometry(), normal);

        QVERIFY(click(bar->mapToGlobal(grip), 2));
        QTRY_VERIFY_WITH_TIMEOUT(window.isMaximized(), 10000);
        QVERIFY(click(bar->mapToGlobal(grip), 2));
        QTRY_VERIFY_WITH_TIMEOUT(!window.isMaximized(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(window.geometry().size(), normal.size(), 10000);
    }

    // A later start brings the minimised window back on screen.
    void bringToFrontRestoresMinimised()
    {
        MainWindow window;
        window.show();
        settle(&window);
        window.showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(!window.windowHandle()->isExposed(), 10000);

        SingleInstance::bringToFront(&window);
        QVERIFY(QTest::qWaitForWindowExposed(&window, 10000));
        QVERIFY(!window.isMinimized());
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
