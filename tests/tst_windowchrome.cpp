// The title bar and the edge-resize decision, without a window manager.
#include "mainwindow.h"
#include "windowchrome.h"

#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr Qt::WindowFlags mainFlags = Qt::Window | Qt::FramelessWindowHint
        | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint
        | Qt::WindowCloseButtonHint;
constexpr Qt::WindowFlags dialogFlags = Qt::Dialog | Qt::FramelessWindowHint;

// A frameless top-level window with a title bar on top, like the program's own.
struct ChromeWindow
{
    QWidget window;
    QWidget *bar = nullptr;

    ChromeWindow(Qt::WindowFlags flags, bool mainWindow) : window(nullptr, flags)
    {
        auto *column = new QVBoxLayout(&window);
        column->setContentsMargins(1, 1, 1, 1);
        column->setSpacing(0);
        bar = createTitleBar(&window, QStringLiteral("Окно"), mainWindow);
        column->addWidget(bar);
        column->addStretch(1);
        window.resize(600, 400);
    }
};

QList<QPushButton *> barButtons(QWidget *bar)
{
    return bar->findChildren<QPushButton *>(QString(), Qt::FindDirectChildrenOnly);
}

QMouseEvent mouseEvent(QEvent::Type type, QWidget *receiver, QPoint local, Qt::MouseButton button)
{
    return QMouseEvent(type, QPointF(local), QPointF(receiver->mapToGlobal(local)), button,
                       type == QEvent::MouseButtonRelease ? Qt::NoButton : button, Qt::NoModifier);
}

} // namespace

class TestWindowChrome : public QObject
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
    }

    void edgesOfPosition_data()
    {
        QTest::addColumn<QPoint>("pos");
        QTest::addColumn<Qt::Edges>("edges");
        // Window 400 x 300: the band is x 0..5 and 394..399, y 0..5 and 294..299.
        QTest::newRow("top-left corner") << QPoint(0, 0) << (Qt::LeftEdge | Qt::TopEdge);
        QTest::newRow("left, last band pixel") << QPoint(5, 150) << Qt::Edges(Qt::LeftEdge);
        QTest::newRow("left, first inner pixel") << QPoint(6, 150) << Qt::Edges();
        QTest::newRow("7 px inside") << QPoint(7, 150) << Qt::Edges();
        QTest::newRow("right, first band pixel") << QPoint(394, 150) << Qt::Edges(Qt::RightEdge);
        QTest::newRow("right, last inner pixel") << QPoint(393, 150) << Qt::Edges();
        QTest::newRow("top") << QPoint(200, 5) << Qt::Edges(Qt::TopEdge);
        QTest::newRow("bottom") << QPoint(200, 294) << Qt::Edges(Qt::BottomEdge);
        QTest::newRow("above bottom band") << QPoint(200, 293) << Qt::Edges();
        QTest::newRow("3 px from bottom-right")
                << QPoint(396, 296) << (Qt::RightEdge | Qt::BottomEdge);
        QTest::newRow("top-right corner") << QPoint(399, 0) << (Qt::RightEdge | Qt::TopEdge);
        QTest::newRow("bottom-left corner") << QPoint(2, 298) << (Qt::LeftEdge | Qt::BottomEdge);
        QTest::newRow("near corner but inside")
                << QPoint(7, 292) << Qt::Edges();
        QTest::newRow("centre") << QPoint(200, 150) << Qt::Edges();
    }

    void edgesOfPosition()
    {
        QFETCH(QPoint, pos);
        QFETCH(Qt::Edges, edges);
        QCOMPARE(resizeEdges(pos, QSize(400, 300)), edges);
    }

    // The filter's decision for real events delivered to widgets of a shown window.
    void pressDecision_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("receiver");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("button");
        QTest::addColumn<QPoint>("windowPos");
        QTest::addColumn<Qt::Edges>("edges");

        const int press = QEvent::MouseButtonPress;
        const int left = Qt::LeftButton;
        // Window 500 x 300; "button" covers x 0..79, y 100..129 of the window.
        QTest::newRow("corner, on the window")
                << "normal" << "window" << press << left << QPoint(497, 297)
                << (Qt::RightEdge | Qt::BottomEdge);
        QTest::newRow("band, on a button") << "normal" << "button" << press << left
                                           << QPoint(3, 110) << Qt::Edges(Qt::LeftEdge);
        QTest::newRow("7 px inside, on a button")
                << "normal" << "button" << press << left << QPoint(7, 110) << Qt::Edges();
        QTest::newRow("right button in the band") << "normal" << "button" << press
                                                  << int(Qt::RightButton) << QPoint(3, 110)
                                                  << Qt::Edges();
        QTest::newRow("middle button in the corner")
                << "normal" << "window" << press << int(Qt::MiddleButton) << QPoint(497, 297)
                << Qt::Edges();
        QTest::newRow("release in the band") << "normal" << "button"
                                             << int(QEvent::MouseButtonRelease) << left
                                             << QPoint(3, 110) << Qt::Edges();
        QTest::newRow("double-click in the band")
                << "normal" << "button" << int(QEvent::MouseButtonDblClick) << left
                << QPoint(3, 110) << Qt::Edges();
        QTest::newRow("move in the band") << "normal" << "window" << int(QEvent::MouseMove)
                                          << int(Qt::NoButton) << QPoint(497, 297) << Qt::Edges();
        QTest::newRow("maximised") << "maximised" << "window" << press << left
                                   << QPoint(497, 297) << Qt::Edges();
        QTest::newRow("full screen") << "fullscreen" << "window" << press << left
                                     << QPoint(497, 297) << Qt::Edges();
        QTest::newRow("another window's widget")
                << "normal" << "other" << press << left << QPoint(3, 110) << Qt::Edges();
    }

    void pressDecision()
    {
        QFETCH(QString, state);
        QFETCH(QString, receiver);
        QFETCH(int, type);
        QFETCH(int, button);
        QFETCH(QPoint, windowPos);
        QFETCH(Qt::Edges, edges);

        QWidget target(nullptr, dialogFlags);
        target.setGeometry(120, 80, 500, 300);
        auto *child = new QPushButton(QStringLiteral("Кнопка"), &target);
        child->setGeometry(0, 100, 80, 30);
        QWidget other(nullptr, dialogFlags);
        other.setGeometry(700, 80, 500, 300);
        auto *otherChild = new QPushButton(QStringLiteral("Чужая"), &other);
        otherChild->setGeometry(0, 100, 80, 30);
        target.show();
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&target));
        if (state == QLatin1String("maximised"))
            target.setWindowState(Qt::WindowMaximized);
        else if (state == QLatin1String("fullscreen"))
            target.setWindowState(Qt::WindowFullScreen);

        QWidget *to = receiver == QLatin1String("button") ? child
                : receiver == QLatin1String("other")      ? otherChild
                                                          : &target;
        QWidget *top = to->window();
        const QPoint local = to->mapFrom(top, windowPos);
        const QMouseEvent event =
                mouseEvent(QEvent::Type(type), to, local, Qt::MouseButton(button));
        QCOMPARE(pressResizeEdges(&target, to, &event), edges);
        // A global position from a stale window origin (the window manager moved
        // the window after Qt last heard) must not change the decision.
        const QMouseEvent stale(QEvent::Type(type), QPointF(local),
                                QPointF(to->mapToGlobal(local) + QPoint(530, 140)),
                                Qt::MouseButton(button), Qt::MouseButton(button), Qt::NoModifier);
        QCOMPARE(pressResizeEdges(&target, to, &stale), edges);
        // A non-widget receiver never resizes.
        QObject plain;
        QCOMPARE(pressResizeEdges(&target, &plain, &event), Qt::Edges());
    }

    void barContents_data()
    {
        QTest::addColumn<bool>("mainWindow");
        QTest::addColumn<QStringList>("glyphs");
        QTest::addColumn<QStringList>("toolTips");
        QTest::newRow("main window")
                << true << QStringList{"\u2212", "\u25A1", "\u00D7"}
                << QStringList{"Свернуть", "Развернуть / восстановить", "Выход из программы"};
        QTest::newRow("dialog") << false << QStringList{"\u00D7"} << QStringList{"Закрыть окно"};
    }

    void barContents()
    {
        QFETCH(bool, mainWindow);
        QFETCH(QStringList, glyphs);
        QFETCH(QStringList, toolTips);

        ChromeWindow w(mainWindow ? mainFlags : dialogFlags, mainWindow);
        QCOMPARE(w.bar->objectName(), QStringLiteral("windowBar"));
        QCOMPARE(w.bar->layout()->contentsMargins(), QMargins(14, 4, 6, 4));

        const auto labels = w.bar->findChildren<QLabel *>();
        QCOMPARE(labels.size(), 2);
        QCOMPARE(labels.at(0)->pixmap().size(), QSize(30, 32)); // 118 x 122 kept in proportion
        QCOMPARE(labels.at(1)->objectName(), QStringLiteral("windowCaption"));
        QCOMPARE(labels.at(1)->text(), QStringLiteral("Окно"));
        for (QLabel *label : labels)
            QVERIFY(label->testAttribute(Qt::WA_TransparentForMouseEvents));

        const auto buttons = barButtons(w.bar);
        QCOMPARE(buttons.size(), glyphs.size());
        for (int i = 0; i < buttons.size(); ++i) {
            QCOMPARE(buttons.at(i)->text(), glyphs.at(i));
            QCOMPARE(buttons.at(i)->toolTip(), toolTips.at(i));
            QCOMPARE(buttons.at(i)->minimumSize(), QSize(40, 32));
            QCOMPARE(buttons.at(i)->maximumSize(), QSize(40, 32));
            QCOMPARE(buttons.at(i)->focusPolicy(), Qt::NoFocus);
            QCOMPARE(buttons.at(i)->objectName(),
                     i == buttons.size() - 1 ? QStringLiteral("windowClose") : QString());
        }
        // Laid out left to right in that order, after the caption.
        for (int i = 1; i < buttons.size(); ++i)
            QVERIFY(w.bar->layout()->indexOf(buttons.at(i - 1))
                    < w.bar->layout()->indexOf(buttons.at(i)));
        QVERIFY(w.bar->layout()->indexOf(labels.at(0)) < w.bar->layout()->indexOf(labels.at(1)));

        // The caption is set once.
        w.window.setWindowTitle(QStringLiteral("Другое"));
        QCOMPARE(labels.at(1)->text(), QStringLiteral("Окно"));
    }

    void barButtonsAct_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("after");
        QTest::newRow("minimise") << "normal" << 0 << "minimised";
        QTest::newRow("maximise") << "normal" << 1 << "maximised";
        QTest::newRow("restore from maximised") << "maximised" << 1 << "normal";
        QTest::newRow("restore from full screen") << "fullscreen" << 1 << "normal";
        QTest::newRow("close") << "normal" << 2 << "closed";
    }

    void barButtonsAct()
    {
        QFETCH(QString, before);
        QFETCH(int, button);
        QFETCH(QString, after);

        ChromeWindow w(mainFlags, true);
        w.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        setState(&w.window, before);
        QTest::mouseClick(barButtons(w.bar).at(button), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(&w.window), after, 10000);
    }

    void doubleClick_data()
    {
        QTest::addColumn<bool>("mainWindow");
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("button");
        QTest::addColumn<bool>("onCaption");
        QTest::addColumn<QString>("after");
        const int left = Qt::LeftButton;
        QTest::newRow("main window maximises") << true << "normal" << left << false << "maximised";
        QTest::newRow("main window restores") << true << "maximised" << left << false << "normal";
        QTest::newRow("through the caption") << true << "normal" << left << true << "maximised";
        QTest::newRow("full screen stays")
                << true << "fullscreen" << left << false << "fullscreen";
        QTest::newRow("right button ignored")
                << true << "normal" << int(Qt::RightButton) << false << "normal";
        QTest::newRow("dialog ignores") << false << "normal" << left << false << "normal";
        QTest::newRow("dialog ignores on caption") << false << "normal" << left << true << "normal";
    }

    void doubleClick()
    {
        QFETCH(bool, mainWindow);
        QFETCH(QString, before);
        QFETCH(int, button);
        QFETCH(bool, onCaption);
        QFETCH(QString, after);

        ChromeWindow w(mainWindow ? mainFlags : dialogFlags, mainWindow);
        w.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        setState(&w.window, before);

        // The labels let mouse events through, so the click lands on the bar itself.
        QWidget *caption = w.bar->findChild<QLabel *>(QStringLiteral("windowCaption"));
        const QPoint at = onCaption ? caption->geometry().center() : QPoint(w.bar->width() / 2,
                                                                          w.bar->height() / 2);
        QCOMPARE(caption->geometry().contains(at), onCaption);
        QTest::mouseDClick(w.bar, Qt::MouseButton(button), Qt::NoModifier, at);
        QCOMPARE(stateOf(&w.window), after);
    }

    void mainWindowHasChrome()
    {
        MainWindow window;
        QCOMPARE(window.windowFlags(), mainFlags);
        auto *bar = window.findChild<QWidget *>(QStringLiteral("windowBar"));
        QVERIFY(bar);
        // First item of the central widget's column.
        QCOMPARE(window.centralWidget()->layout()->itemAt(0)->widget(), bar);
        QCOMPARE(bar->findChild<QLabel *>(QStringLiteral("windowCaption"))->text(),
                 QStringLiteral("Пелорин — удалённый доступ"));
        QCOMPARE(barButtons(bar).size(), 3);

        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::mouseDClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(bar->width() / 2, 10));
        QVERIFY(window.isMaximized());
        QTest::mouseDClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(bar->width() / 2, 10));
        QVERIFY(!window.isMaximized());
    }

private:
    static void setState(QWidget *window, const QString &state)
    {
        if (state == QLatin1String("maximised"))
            window->showMaximized();
        else if (state == QLatin1String("fullscreen"))
            window->showFullScreen();
    }

    static QString stateOf(const QWidget *window)
    {
        if (!window->isVisible())
            return QStringLiteral("closed");
        if (window->isMinimized())
            return QStringLiteral("minimised");
        if (window->isFullScreen())
            return QStringLiteral("fullscreen");
        if (window->isMaximized())
            return QStringLiteral("maximised");
        return QStringLiteral("normal");
    }
};

QTEST_MAIN(TestWindowChrome)
#include "tst_windowchrome.moc"
