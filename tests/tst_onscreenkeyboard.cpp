// The on-screen keyboard: its key table, the bytes a panel receives for keys with one-shot
// modifiers, the cases that must send nothing, and the release around the dialog.
#include "onscreenkeyboard.h"
#include "remoteview.h"
#include "rfbclient.h"
#include "rfbtestserver.h"
#include "session.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

using KeyEvents = QList<QPair<quint32, bool>>;

QByteArray keyBytes(const KeyEvents &events)
{
    QByteArray bytes;
    for (const auto &[keysym, down] : events)
        bytes += rfbwire::keyEvent(keysym, down);
    return bytes;
}

QByteArray tap(quint32 keysym)
{
    return rfbwire::keyEvent(keysym, true) + rfbwire::keyEvent(keysym, false);
}

// A client and its view, live on a scripted server, with the set-up bytes already read.
struct LivePanel
{
    RfbTestServer server;
    RfbClient client;
    RemoteView view { &client };
    qsizetype mark = 0;

    bool start()
    {
        if (!server.port() && !server.listen())
            return false;
        view.setActive(true);
        client.connectToPanel(QStringLiteral("127.0.0.1"), server.port(), QString());
        const QByteArray setup = rfbwire::clientHandshake38None(800, 480);
        const bool up = QTest::qWaitFor(
            [&]() { return client.isLive() && server.received().size() >= setup.size(); }, 30000);
        if (!up || server.received() != setup)
            return false;
        mark = server.received().size();
        return true;
    }

    // Everything the panel received since the last skip().
    QByteArray since() const { return server.received().mid(mark); }
    void skip() { mark = server.received().size(); }
    // The same once a marker the client writes now has arrived after it (the client writes in
    // order), skipping the marker: everything sent so far, not what happened to arrive yet.
    QByteArray settled()
    {
        const QByteArray marker = rfbwire::pointerEvent(7, 7, 0);
        client.sendPointer(7, 7, 0);
        if (!QTest::qWaitFor([&]() { return since().endsWith(marker); }, 30000))
            return "no marker after " + since().toHex();
        const QByteArray sent = since().chopped(marker.size());
        skip();
        return sent;
    }
};

PanelProfile profileNamed(const QString &name, bool viewOnly = false)
{
    PanelProfile profile;
    profile.id = PanelProfile::newId();
    profile.name = name;
    profile.host = QStringLiteral("127.0.0.1");
    profile.viewOnly = viewOnly;
    return profile;
}

} // namespace

class TestOnScreenKeyboard : public QObject
{
    Q_OBJECT

private:
    // Calls handle once with the first modal widget that comes up while the code under test
    // runs its own event loop.
    void onModal(const std::function<void(QWidget *)> &handle)
    {
        auto *poll = new QTimer(this);
        poll->setInterval(10);
        connect(poll, &QTimer::timeout, this, [poll, handle] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                poll->stop();
                poll->deleteLater();
                handle(modal);
            }
        });
        poll->start();
    }

private slots:
    // Every key of the grid sends its own keysym, whatever the order of the table in the code.
    void everyKeySendsItsKeysym()
    {
        LivePanel panel;
        QVERIFY(panel.start());
        QWidget session;
        OnScreenKeyboard keyboard(
            &session, &panel.client, &panel.view, profileNamed(QStringLiteral("Линия 1")));

        struct Row
        {
            QStringList texts;
            QList<quint32> keysyms;
        };
        QList<Row> rows;
        Row functions;
        for (int n = 1; n <= 12; ++n) {
            functions.texts << QStringLiteral("F%1").arg(n);
            functions.keysyms << 0xFFBE + quint32(n - 1);
        }
        rows << functions;
        for (const char *characters : { "1234567890-.", "qwertyuiop", "asdfghjkl", "zxcvbnm" }) {
            Row row;
            for (const char *c = characters; *c; ++c) {
                row.texts << QString(QLatin1Char(*c)).toUpper();
                row.keysyms << quint32(quint8(*c));
            }
            rows << row;
        }
        rows << Row { { "Esc", "Tab", "←", "↑", "↓", "→", "⌫", "Del", "Пробел", "Enter" },
            { 0xFF1B, 0xFF09, 0xFF51, 0xFF52, 0xFF54, 0xFF53, 0xFF08, 0xFFFF, 0x20, 0xFF0D } };

        QByteArray expected;
        int buttons = 0;
        for (int r = 0; r < rows.size(); ++r) {
            for (int c = 0; c < rows[r].texts.size(); ++c) {
                QPushButton *button = keyboard.keyButtonAt(r, c);
                QVERIFY2(button, qPrintable(QStringLiteral("row %1 column %2").arg(r).arg(c)));
                QCOMPARE(button->text(), rows[r].texts[c]);
                QVERIFY(button->minimumHeight() >= 36);
                QCOMPARE(keyboard.keyButton(rows[r].keysyms[c]), button);
                button->click();
                expected += tap(rows[r].keysyms[c]);
                ++buttons;
            }
            QVERIFY(!keyboard.keyButtonAt(r, rows[r].texts.size()));
        }
        QCOMPARE(buttons, 60);
        QVERIFY(!keyboard.keyButtonAt(6, 0));
        QTRY_COMPARE_WITH_TIMEOUT(panel.since(), expected, 10000);
    }

    void dialogShape()
    {
        LivePanel panel;
        QWidget session;
        OnScreenKeyboard keyboard(&session, &panel.client, &panel.view,
            profileNamed(QStringLiteral("Котельная «Север»")));
        QCOMPARE(keyboard.windowTitle(), QStringLiteral("Клавиатура · Котельная «Север»"));
        QCOMPARE(keyboard.parentWidget(), &session);
        QCOMPARE(keyboard.size(), QSize(780, 420));

        const QStringList modifiers
            = { QStringLiteral("Ctrl"), QStringLiteral("Alt"), QStringLiteral("Shift") };
        const OnScreenKeyboard::Modifier kinds[]
            = { OnScreenKeyboard::Ctrl, OnScreenKeyboard::Alt, OnScreenKeyboard::Shift };
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(keyboard.modifierBox(kinds[i])->text(), modifiers[i]);
            QVERIFY(!keyboard.modifierBox(kinds[i])->isChecked());
        }
        QCOMPARE(keyboard.closeButton()->text(), QStringLiteral("Закрыть клавиатуру"));

        // Top to bottom: hint, modifier row, key grid, close button.
        QLayout *body = keyboard.contentLayout();
        QCOMPARE(body->count(), 4);
        auto *hint = qobject_cast<QLabel *>(body->itemAt(0)->widget());
        QVERIFY(hint);
        QCOMPARE(hint->text(),
            QStringLiteral("Клавиши отправляются только этой панели. "
                           "Модификаторы действуют на одно нажатие."));
        QVERIFY(hint->wordWrap());
        QLayout *row = body->itemAt(1)->layout();
        QVERIFY(row);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(row->itemAt(i)->widget(), keyboard.modifierBox(kinds[i]));
        QVERIFY(row->itemAt(3)->spacerItem());
        QVERIFY(qobject_cast<QGridLayout *>(body->itemAt(2)->layout()));
        QCOMPARE(body->itemAt(3)->widget(), keyboard.closeButton());
    }

    void modifiedKey_data()
    {
        QTest::addColumn<bool>("ctrl");
        QTest::addColumn<bool>("alt");
        QTest::addColumn<bool>("shift");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::addColumn<QByteArray>("expected");

        const quint32 control = 0xFFE3, alt = 0xFFE9, shift = 0xFFE1;
        QTest::newRow("Shift + a")
            << false << false << true << 3 << 0
            << keyBytes({ { shift, true }, { 0x41, true }, { 0x41, false }, { shift, false } });
        QTest::newRow("Ctrl + c") << true << false << false << 4 << 2
                                  << keyBytes({ { control, true }, { 0x63, true }, { 0x63, false },
                                         { control, false } });
        QTest::newRow("Shift + 1, digit not translated")
            << false << false << true << 1 << 0
            << keyBytes({ { shift, true }, { 0x31, true }, { 0x31, false }, { shift, false } });
        QTest::newRow("F5") << false << false << false << 0 << 4 << tap(0xFFC2);
        QTest::newRow("Ctrl + Alt + Del, no confirmation")
            << true << true << false << 5 << 7
            << keyBytes({ { control, true }, { alt, true }, { 0xFFFF, true }, { 0xFFFF, false },
                   { alt, false }, { control, false } });
        QTest::newRow("all three + z")
            << true << true << true << 4 << 0
            << keyBytes({ { control, true }, { alt, true }, { shift, true }, { 0x5A, true },
                   { 0x5A, false }, { shift, false }, { alt, false }, { control, false } });
        QTest::newRow("Shift + Enter, special key unchanged")
            << false << false << true << 5 << 9
            << keyBytes({ { shift, true }, { 0xFF0D, true }, { 0xFF0D, false }, { shift, false } });
        QTest::newRow("Shift + minus")
            << false << false << true << 1 << 10
            << keyBytes({ { shift, true }, { 0x2D, true }, { 0x2D, false }, { shift, false } });
        QTest::newRow("Alt + Tab")
            << false << true << false << 5 << 1
            << keyBytes({ { alt, true }, { 0xFF09, true }, { 0xFF09, false }, { alt, false } });
        QTest::newRow("Shift + m, last letter row end")
            << false << false << true << 4 << 6
            << keyBytes({ { shift, true }, { 0x4D, true }, { 0x4D, false }, { shift, false } });
    }

    // The modifiers apply to exactly one key: the next click sends the plain key.
    void modifiedKey()
    {
        QFETCH(bool, ctrl);
        QFETCH(bool, alt);
        QFETCH(bool, shift);
        QFETCH(int, row);
        QFETCH(int, column);
        QFETCH(QByteArray, expected);

        LivePanel panel;
        QVERIFY(panel.start());
        QWidget session;
        OnScreenKeyboard keyboard(
            &session, &panel.client, &panel.view, profileNamed(QStringLiteral("Пресс 3")));
        if (ctrl)
            keyboard.modifierBox(OnScreenKeyboard::Ctrl)->click();
        if (alt)
            keyboard.modifierBox(OnScreenKeyboard::Alt)->click();
        if (shift)
            keyboard.modifierBox(OnScreenKeyboard::Shift)->click();

        keyboard.keyButtonAt(row, column)->click();
        QVERIFY(!keyboard.modifierBox(OnScreenKeyboard::Ctrl)->isChecked());
        QVERIFY(!keyboard.modifierBox(OnScreenKeyboard::Alt)->isChecked());
        QVERIFY(!keyboard.modifierBox(OnScreenKeyboard::Shift)->isChecked());

        keyboard.keyButtonAt(2, 0)->click(); // q, plain
        QTRY_COMPARE_WITH_TIMEOUT(panel.since(), expected + tap(0x71), 10000);
    }

    // Only clicks send keys: Enter and Space on the desk keyboard after a click must not
    // repeat it (Ctrl + Alt + Del, then Enter, would send a second Delete).
    void deskKeysDoNotRepeatAClick()
    {
        LivePanel panel;
        QVERIFY(panel.start());
        QWidget session;
        OnScreenKeyboard keyboard(
            &session, &panel.client, &panel.view, profileNamed(QStringLiteral("Пресс 4")));
        keyboard.show();
        QVERIFY(QTest::qWaitForWindowActive(&keyboard));
        QTest::mouseClick(keyboard.modifierBox(OnScreenKeyboard::Shift), Qt::LeftButton);
        QTest::mouseClick(keyboard.keyButtonAt(5, 7), Qt::LeftButton); // Del
        for (const Qt::Key key : { Qt::Key_Return, Qt::Key_Space, Qt::Key_Enter }) {
            QWidget *focus = QApplication::focusWidget();
            QTest::keyClick(focus ? focus : &keyboard, key);
        }
        QCOMPARE(panel.settled(),
            rfbwire::keyEvent(0xFFE1, true) + tap(0xFFFF) + rfbwire::keyEvent(0xFFE1, false));
    }

    void nothingSent_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::newRow("view-only session") << "viewOnlyProfile";
        QTest::newRow("view-only view") << "viewOnlyView";
        QTest::newRow("session not selected") << "inactive";
        QTest::newRow("handshake not finished") << "handshake";
        QTest::newRow("connection ended") << "ended";
        QTest::newRow("never connected") << "idle";
    }

    // A click that cannot reach the panel sends nothing at all, not even the modifiers, and
    // the checked modifier waits for the next try.
    void nothingSent()
    {
        QFETCH(QString, situation);

        LivePanel panel;
        QVERIFY(panel.server.listen());
        if (situation == QLatin1String("handshake"))
            panel.server.setAutoHandshake(false);
        if (situation != QLatin1String("idle")) {
            if (situation == QLatin1String("handshake")) {
                panel.view.setActive(true);
                panel.client.connectToPanel(
                    QStringLiteral("127.0.0.1"), panel.server.port(), QString());
                QTRY_VERIFY(panel.server.hasConnection());
            } else {
                QVERIFY(panel.start());
            }
        }
        QSignalSpy ended(&panel.client, &RfbClient::ended);
        if (situation == QLatin1String("ended")) {
            panel.server.closeConnection();
            QTRY_COMPARE(ended.count(), 1);
        }
        if (situation == QLatin1String("inactive") || situation == QLatin1String("viewOnlyView")) {
            if (situation == QLatin1String("inactive"))
                panel.view.setActive(false);
            else
                panel.view.setViewOnly(true);
            // Both setters release the pointer first.
            QTRY_COMPARE(panel.since(), rfbwire::pointerEvent(0, 0, 0));
            panel.skip();
        }

        QWidget session;
        OnScreenKeyboard keyboard(&session, &panel.client, &panel.view,
            profileNamed(QStringLiteral("Склад"), situation == QLatin1String("viewOnlyProfile")));
        keyboard.modifierBox(OnScreenKeyboard::Ctrl)->setChecked(true);
        keyboard.modifierBox(OnScreenKeyboard::Shift)->setChecked(true);
        keyboard.keyButtonAt(3, 0)->click();
        keyboard.keyButtonAt(5, 7)->click();

        QVERIFY(keyboard.modifierBox(OnScreenKeyboard::Ctrl)->isChecked());
        QVERIFY(keyboard.modifierBox(OnScreenKeyboard::Shift)->isChecked());
        QVERIFY(!keyboard.modifierBox(OnScreenKeyboard::Alt)->isChecked());
        // Without a live client nothing can be written at all.
        QCOMPARE(panel.client.isLive() ? panel.settled() : panel.since(), QByteArray());
    }

    void releaseAroundTheDialog_data()
    {
        QTest::addColumn<QString>("closeBy");
        QTest::newRow("close button") << "button";
        QTest::newRow("Escape") << "escape";
        QTest::newRow("title bar") << "titleBar";
    }

    // Keys held by the view are released when the dialog opens and again when it closes,
    // however it is closed; the dialog is gone afterwards.
    void releaseAroundTheDialog()
    {
        QFETCH(QString, closeBy);

        LivePanel panel;
        QVERIFY(panel.start());
        QWidget session;
        QTest::keyPress(&panel.view, Qt::Key_A);
        QCOMPARE(panel.view.pressedKeys().size(), 1);

        QByteArray during;
        bool checked = false;
        onModal([&](QWidget *modal) {
            auto *keyboard = qobject_cast<OnScreenKeyboard *>(modal);
            if (!keyboard) {
                modal->close();
                return;
            }
            checked = keyboard->parentWidget() == &session && keyboard->isModal()
                && panel.view.pressedKeys().isEmpty();
            const QByteArray opening = rfbwire::keyEvent(0x61, true)
                + rfbwire::keyEvent(0x61, false) + rfbwire::pointerEvent(0, 0, 0);
            // The verdict on `during` follows the dialog.
            (void)QTest::qWaitFor(
                [&]() { return panel.server.received().size() >= panel.mark + opening.size(); },
                30000);
            during = panel.server.received().mid(panel.mark);
            // A key held on the view while the keyboard is up.
            QTest::keyPress(&panel.view, Qt::Key_B);
            keyboard->keyButtonAt(2, 1)->click(); // w
            if (closeBy == QLatin1String("button")) {
                keyboard->closeButton()->click();
            } else if (closeBy == QLatin1String("escape")) {
                QTest::keyClick(keyboard, Qt::Key_Escape);
            } else {
                if (auto *close = keyboard->findChild<QPushButton *>(QStringLiteral("windowClose")))
                    close->click();
                else
                    keyboard->reject();
            }
        });
        OnScreenKeyboard::run(
            &session, &panel.client, &panel.view, profileNamed(QStringLiteral("Линия 2")));

        QVERIFY(checked);
        QVERIFY(panel.view.pressedKeys().isEmpty());
        QVERIFY(session.findChildren<OnScreenKeyboard *>().isEmpty());
        const QByteArray release = rfbwire::pointerEvent(0, 0, 0);
        QCOMPARE(during, rfbwire::keyEvent(0x61, true) + rfbwire::keyEvent(0x61, false) + release);
        QTRY_COMPARE_WITH_TIMEOUT(panel.since(),
            rfbwire::keyEvent(0x61, true) + rfbwire::keyEvent(0x61, false) + release
                + rfbwire::keyEvent(0x62, true) + tap(0x77) + rfbwire::keyEvent(0x62, false)
                + release,
            10000);
    }

    void fromSession();
};

// From the session's tools menu: the session asks to be selected before the dialog opens, so
// keys reach the panel even when it was not the selected one.
void TestOnScreenKeyboard::fromSession()
{
    RfbTestServer server;
    QVERIFY(server.listen());
    PanelProfile profile = profileNamed(QStringLiteral("Насосная"));
    profile.port = server.port();
    profile.password = QStringLiteral("unused"); // security None; avoids the prompt
    Session session(profile);
    session.setSelected(false);
    QStringList events;
    connect(&session, &Session::activationRequested, &session, [&session, &events] {
        events << QStringLiteral("activation");
        session.setSelected(true); // what the main window does
    });

    QAction *keyboardAction = nullptr;
    const auto actions = session.findChildren<QAction *>();
    for (QAction *action : actions) {
        if (action->text() == QStringLiteral("Экранная клавиатура…"))
            keyboardAction = action;
    }
    QVERIFY(keyboardAction);
    session.startConnection();
    QTRY_COMPARE(server.received(), rfbwire::clientHandshake38None(800, 480));
    QTRY_VERIFY(keyboardAction->isEnabled());
    const qsizetype mark = server.received().size();

    onModal([&events](QWidget *modal) {
        auto *keyboard = qobject_cast<OnScreenKeyboard *>(modal);
        if (!keyboard) {
            modal->close();
            return;
        }
        events << keyboard->windowTitle();
        keyboard->modifierBox(OnScreenKeyboard::Shift)->click();
        keyboard->keyButtonAt(3, 0)->click(); // a
        keyboard->closeButton()->click();
    });
    keyboardAction->trigger();

    QCOMPARE(events,
        (QStringList { QStringLiteral("activation"), QStringLiteral("Клавиатура · Насосная") }));
    const QByteArray release = rfbwire::pointerEvent(0, 0, 0);
    // Selecting releases, opening releases, the key, closing releases.
    QTRY_COMPARE_WITH_TIMEOUT(server.received().mid(mark),
        release + release + rfbwire::keyEvent(0xFFE1, true) + tap(0x41)
            + rfbwire::keyEvent(0xFFE1, false) + release,
        10000);
}

QTEST_MAIN(TestOnScreenKeyboard)
#include "tst_onscreenkeyboard.moc"
