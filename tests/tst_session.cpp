// The panel session against scripted servers: the connection lifecycle with its status texts,
// journal messages and automatic retries, the enabling rules of the tools, the header controls,
// the frame-age line, and the password resolution with the prompt and the real keyring. Encrypted
// sessions against a demo panel served over TLS in process: the certificate question and its
// answers, pins, the lock in the header, the journal's lines, and the user-name prompt.
#include "credentialstore.h"
#include "passwordprompt.h"
#include "remoteview.h"
#include "rfbclient.h"
#include "rfbtestserver.h"
#include "servedpanel.h"
#include "session.h"
#include "testcertificate.h"
#include "underwine.h"
#include "xvncserver.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString established = QStringLiteral("Соединение установлено");
const QString starting = QStringLiteral("Начало подключения");
const QString retrying = QStringLiteral("Повторное подключение");
const QString byUser = QStringLiteral("Отключено пользователем");

// Sends each character as a typed key, as a keyboard would (QTest::keyClicks cannot type
// characters outside Latin-1).
void typeText(QWidget *widget, const QString &text)
{
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &release);
    }
}

QPushButton *buttonWithText(QWidget *parent, const QString &text)
{
    const auto buttons = parent->findChildren<QPushButton *>();
    for (QPushButton *button : buttons)
        if (button->text() == text)
            return button;
    return nullptr;
}

// Answers modal dialogs as they appear, one handler per dialog, and rejects (and counts) any
// dialog that shows up without a handler so a test never hangs.
class DialogDriver : public QObject
{
public:
    using Handler = std::function<void(QDialog *)>;

    DialogDriver()
    {
        poll.setInterval(5);
        connect(&poll, &QTimer::timeout, this, &DialogDriver::check);
        poll.start();
    }

    void expect(Handler handler) { handlers.append(std::move(handler)); }
    int seen() const { return titles.size(); }
    int unexpected() const { return surprises; }
    QStringList titles;
    QStringList texts; // the labels of every dialog seen, joined per dialog

private:
    void check()
    {
        auto *modal = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!modal)
            return;
        if (modal == current) {
            // A handler that failed half-way must not leave the test hanging in exec(); a loaded
            // machine may take seconds to close a dialog a handler answered.
            if (shownFor.elapsed() > 20000) {
                ++surprises;
                modal->reject();
            }
            return;
        }
        current = modal;
        shownFor.start();
        titles << modal->windowTitle();
        QStringList labels;
        const auto all = modal->findChildren<QLabel *>();
        for (QLabel *label : all)
            labels << label->text();
        texts << labels.join(QLatin1Char('\n'));
        if (handlers.isEmpty()) {
            ++surprises;
            modal->reject();
            return;
        }
        const Handler handler = handlers.takeFirst();
        handler(modal);
    }

    QTimer poll;
    QPointer<QDialog> current;
    QElapsedTimer shownFor;
    QList<Handler> handlers;
    int surprises = 0;
};

DialogDriver::Handler clickButton(const QString &text)
{
    return [text](QDialog *dialog) {
        QPushButton *button = buttonWithText(dialog, text);
        QVERIFY2(button, qPrintable(text));
        button->click();
    };
}

DialogDriver::Handler answerPrompt(const QString &typed, const QString &button)
{
    return [typed, button](QDialog *dialog) {
        auto *input = dialog->findChild<QLineEdit *>();
        QVERIFY(input);
        QCOMPARE(input->echoMode(), QLineEdit::Password);
        input->setFocus();
        typeText(input, typed);
        if (button == QLatin1String("Escape"))
            QTest::keyClick(dialog, Qt::Key_Escape);
        else
            clickButton(button)(dialog);
    };
}

// One session on a scripted server, with spies on everything it reports.
struct Rig
{
    RfbTestServer server;
    PanelProfile profile;
    std::unique_ptr<Session> session;
    RfbClient *client = nullptr;
    RemoteView *view = nullptr;
    std::unique_ptr<QSignalSpy> journal;
    std::unique_ptr<QSignalSpy> titles;
    std::unique_ptr<QSignalSpy> activations;
    std::unique_ptr<QSignalSpy> ends;

    // A failing attempt: the server drops every new connection at once.
    QMetaObject::Connection dropping;

    explicit Rig(bool reconnect = false, bool viewOnly = false)
    {
        QVERIFY(server.listen());
        profile.id = PanelProfile::newId();
        profile.name = QStringLiteral("Линия розлива 3");
        profile.host = QStringLiteral("127.0.0.1");
        profile.port = server.port();
        // Held, so no prompt; the server asks for it.
        profile.password = QStringLiteral("x");
        server.setPassword(profile.password.toQString());
        profile.reconnect = reconnect;
        profile.viewOnly = viewOnly;
    }

    void create()
    {
        session = std::make_unique<Session>(profile);
        session->resize(640, 480);
        client = session->findChild<RfbClient *>();
        view = session->findChild<RemoteView *>();
        QVERIFY(client && view);
        journal = std::make_unique<QSignalSpy>(session.get(), &Session::journal);
        titles = std::make_unique<QSignalSpy>(session.get(), &Session::titleStatus);
        activations = std::make_unique<QSignalSpy>(session.get(), &Session::activationRequested);
        ends = std::make_unique<QSignalSpy>(client, &RfbClient::ended);
    }

    QStringList lines() const
    {
        QStringList out;
        for (const QList<QVariant> &args : *journal)
            out << args.at(0).toString();
        return out;
    }
    QString lastReason() const { return ends->isEmpty() ? QString() : ends->last().at(0).toString(); }

    template<typename T>
    T *child(const QString &name) const
    {
        return session->findChild<T *>(name);
    }
    QLabel *status() const { return child<QLabel>(QStringLiteral("sessionStatus")); }
    QPushButton *connectButton() const { return buttonWithText(session.get(), "Подключить"); }
    QPushButton *disconnectButton() const { return buttonWithText(session.get(), "Отключить"); }
    QTimer *reconnectTimer() const { return child<QTimer>(QStringLiteral("reconnectTimer")); }
    QTimer *frameAgeTimer() const { return child<QTimer>(QStringLiteral("frameAgeTimer")); }
    QLabel *frameAge() const
    {
        const auto labels = session->findChildren<QLabel *>(QStringLiteral("muted"));
        for (QLabel *label : labels)
            if (!label->toolTip().isEmpty())
                return label;
        return nullptr;
    }
    QAction *action(const QString &text) const
    {
        const auto menus = session->findChildren<QMenu *>();
        for (QMenu *menu : menus)
            for (QAction *action : menu->actions())
                if (action->text() == text)
                    return action;
        return nullptr;
    }

    // Fires a timer now instead of waiting for it.
    static void fire(QTimer *timer)
    {
        timer->stop();
        QMetaObject::invokeMethod(timer, "timeout");
    }

    void dropConnections(bool on)
    {
        QObject::disconnect(dropping);
        if (on)
            dropping = QObject::connect(&server, &RfbTestServer::clientConnected, &server,
                                        [this] { server.closeConnection(); });
    }

    // Waits until the session reports the connection.
    bool waitConnected(int connections)
    {
        return QTest::qWaitFor(
            [&]() {
                return server.connectionCount() == connections && client->isLive()
                    && !titles->isEmpty() && titles->last().at(0).toBool();
            },
            30000);
    }
    bool waitEnded(int count)
    {
        return QTest::qWaitFor([&]() { return ends->size() >= count; }, 30000)
            && ends->size() == count;
    }
};

const QString unconfirmed = QStringLiteral("Подлинность панели не подтверждена оператором.");
const QString changed = QStringLiteral(
    "Сертификат панели изменился с прошлого подключения. Возможно, соединение перехвачено.");
const QString checkedLock
    = QStringLiteral("Шифрованное соединение, подлинность панели подтверждена");
const QString openLock = QStringLiteral("Шифрованное соединение без проверки подлинности");

// Wine's Schannel cannot serve TLS (no private key from a PKCS #12); the client side is tested
// there against nothing of ours.
#define TLS_SERVER_NEEDED()                                                                        \
    do {                                                                                           \
        if (runningUnderWine())                                                                    \
            QSKIP("wine's Schannel cannot serve TLS");                                             \
    } while (false)

// The lock in a session's header: hidden, or the accessible name of the one shown, with
// whether its words ("без проверки подлинности") show too.
QString lockShown(Session *session)
{
    auto *badge = session->findChild<QWidget *>(QStringLiteral("encryptionBadge"));
    auto *icon = session->findChild<QLabel *>(QStringLiteral("lockIcon"));
    auto *note = session->findChild<QLabel *>(QStringLiteral("encryptionNote"));
    if (!badge || !icon || !note)
        return QStringLiteral("no badge");
    if (badge->isHidden())
        return QStringLiteral("hidden");
    if (icon->pixmap().isNull() || !icon->toolTip().contains(icon->accessibleDescription())
        || !icon->accessibleDescription().startsWith(QStringLiteral("TLS 1.")))
        return QStringLiteral("no picture or description");
    return icon->accessibleName()
        + (note->isHidden() ? QString() : QStringLiteral(" + ") + note->text());
}

QString retryText(const QString &reason, int attempt, int delay)
{
    return QStringLiteral("%1 · Повтор %2/5 через %3 с")
        .arg(reason, QString::number(attempt), QString::number(delay));
}

} // namespace

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void lifecycleEnds_data();
    void lifecycleEnds();
    void fiveAttemptsThenFinal();
    void secondOutageContinuesTheCount();
    void disconnectWhileRetryPending();
    void longServerReasonCutForDisplay();
    void startWhileEngagedDoesNothing_data();
    void startWhileEngagedDoesNothing();
    void disconnectByUserWithoutGuard_data();
    void disconnectByUserWithoutGuard();
    void releasesHeldInputBeforeClosing_data();
    void releasesHeldInputBeforeClosing();

    void enablingRules_data();
    void enablingRules();
    void zoomSelector_data();
    void zoomSelector();
    void applyProfile_data();
    void applyProfile();
    void selectionAndCompact();
    void headerSignals();
    void ctrlAltDel_data();
    void ctrlAltDel();
    void notes_data();
    void notes();
    void frameAgeText_data();
    void frameAgeText();
    void frameAgeLine();
    void retryStatusText();

    void prompt_data();
    void prompt();
    void promptForUserName_data();
    void promptForUserName();
    void promptAsksAgainAfterEmptyAnswer();
    void rememberedPasswordSkipsPrompt();
    void rememberWithNothingStoredAsksEveryTime();
    void reconnectionReusesPromptedPassword();

    void realPeerPromptAndReconnect();

    void encryptedSessions_data();
    void encryptedSessions();
    void firstUse_data();
    void firstUse();
    void automaticAttemptNeverAsks();
    void userNameAskedAfterThePanelWantedOne();
    void securityOfferHints_data();
    void securityOfferHints();
};

// ---------------------------------------------------------------------------------------------
// Lifecycle

void TestSession::lifecycleEnds_data()
{
    QTest::addColumn<bool>("reconnect");
    QTest::addColumn<QString>("serverPassword");
    QTest::addColumn<bool>("expectConnected");
    QTest::addColumn<bool>("expectRetry");
    // Connected, the end comes from the response timer in an update still arriving, with
    // compression off (1) or on (2); 0: the server closes.
    QTest::addColumn<int>("slowUpdate");
    // With compression on, an update the decoder refuses, sent instead of the close.
    QTest::addColumn<QByteArray>("unreadable");

    const QByteArray none;
    QTest::newRow("server close, reconnect off: final") << false << "x" << true << false << 0 << none;
    QTest::newRow("server close, reconnect on: retry") << true << "x" << true << true << 0 << none;
    // A password is held: told until the panel's first picture, still connected.
    QTest::newRow("panel asks for no password") << false << QString() << true << false << 0 << none;
    QTest::newRow("password rejected, reconnect on: final")
        << true << QStringLiteral("other") << false << false << 0 << none;
    QTest::newRow("password rejected, reconnect off: final")
        << false << QStringLiteral("other") << false << false << 0 << none;
    // The reason stays the same; the next line says where compression is.
    QTest::newRow("uncompressed update too slow for the link: told")
        << false << "x" << true << false << 1 << none;
    QTest::newRow("compressed update too slow: nothing to tell")
        << false << "x" << true << false << 2 << none;
    // A Hextile subrectangle past its tile: final, and the journal names the way round.
    QTest::newRow("compressed update unreadable, reconnect on: final")
        << true << "x" << true << false << 0
        << rfbwire::update(1) + rfbwire::rectHeader(0, 0, 16, 16, 5) + rfbwire::u8(2 | 8)
            + rfbwire::u32(0) + rfbwire::u8(1) + rfbwire::u8(0xF0) + rfbwire::u8(0x10);
}

void TestSession::lifecycleEnds()
{
    QFETCH(bool, reconnect);
    QFETCH(QString, serverPassword);
    QFETCH(bool, expectConnected);
    QFETCH(bool, expectRetry);
    QFETCH(int, slowUpdate);
    QFETCH(QByteArray, unreadable);

    Rig rig(reconnect);
    rig.server.setPassword(serverPassword);
    rig.profile.compression = slowUpdate == 2 || !unreadable.isEmpty();
    rig.create();
    QCOMPARE(rig.status()->text(), QStringLiteral("Готов к подключению"));
    QVERIFY(rig.connectButton()->isEnabled());
    QVERIFY(!rig.disconnectButton()->isEnabled());

    rig.session->startConnection();
    QVERIFY(rig.session->isEngaged());
    QVERIFY(!rig.connectButton()->isEnabled());
    QVERIFY(rig.disconnectButton()->isEnabled());
    QCOMPARE(rig.lines(), QStringList{starting});
    // The client's progress reaches the status line as it happens.
    QCOMPARE(rig.status()->text(), QStringLiteral("Подключение к 127.0.0.1:%1…").arg(rig.server.port()));

    QStringList expected{starting};
    if (expectConnected) {
        QVERIFY(rig.waitConnected(1));
        const QString up = QStringLiteral("● Соединение установлено");
        const QString unasked = QStringLiteral("Панель подключена без пароля, хотя он задан");
        QCOMPARE(rig.status()->text(), serverPassword.isEmpty() ? unasked : up);
        QCOMPARE(rig.status()->property("online").toBool(), true);
        expected << established;
        if (serverPassword.isEmpty()) {
            expected << unasked;
            rig.server.send(rfbwire::update(1) + rfbwire::solidRaw(0, 0, 8, 8, 0x336699));
            QTRY_COMPARE(rig.status()->text(), up);
        }
        QCOMPARE(rig.lines(), expected);
        if (slowUpdate) {
            // An 8 x 8 Raw rectangle whose first row has come (unread, held back by the receive
            // low-water mark) when the timer ends it.
            rig.server.send(rfbwire::update(1) + rfbwire::rectHeader(0, 0, 8, 8, 0));
            QTRY_COMPARE(rig.client->stateForTest(), RfbClient::ReadingRectangles);
            rig.server.send(QByteArray(8 * 4, '\x40'));
            QTRY_VERIFY(rig.client->updateArriving());
            Rig::fire(rig.client->responseTimerForTest());
        } else if (!unreadable.isEmpty()) {
            rig.server.send(unreadable);
        } else {
            rig.server.closeConnection();
        }
    }
    QVERIFY(rig.waitEnded(1));
    const QString reason = rig.lastReason();
    expected << reason;
    if (slowUpdate == 1)
        expected << QStringLiteral("Канал слишком медленный для экрана без сжатия: включите "
                                   "«Сжатие (медленный канал)» в настройках панели (кнопка "
                                   "«Изменить» в адресной книге)");
    if (!unreadable.isEmpty()) {
        QCOMPARE(reason, QStringLiteral("Подпрямоугольник Hextile выходит за пределы плитки"));
        expected << QStringLiteral("Сжатые данные этой панели прочитать не удалось. Обойти это "
                                   "можно, сняв «Сжатие (медленный канал)» в карточке панели.");
    }
    QCOMPARE(rig.lines(), expected);
    QCOMPARE(rig.titles->last().at(0).toBool(), false);
    QCOMPARE(rig.status()->property("online").toBool(), false);
    if (!expectConnected)
        QCOMPARE(reason,
                 QStringLiteral("Сервер отклонил авторизацию. Проверьте пароль и права доступа."));

    if (expectRetry) {
        QCOMPARE(rig.status()->text(), retryText(reason, 1, 3));
        QVERIFY(rig.reconnectTimer()->isActive());
        QCOMPARE(rig.reconnectTimer()->interval(), 3000);
        QVERIFY(rig.session->isEngaged());
        QVERIFY(!rig.connectButton()->isEnabled());
        QVERIFY(rig.disconnectButton()->isEnabled());
    } else {
        QCOMPARE(rig.status()->text(), reason);
        QVERIFY(!rig.reconnectTimer()->isActive());
        QVERIFY(!rig.session->isEngaged());
        QVERIFY(rig.connectButton()->isEnabled());
        QVERIFY(!rig.disconnectButton()->isEnabled());
    }
}

void TestSession::fiveAttemptsThenFinal()
{
    SKIP_IF_WINE_LOSES_EARLY_CLOSE();
    Rig rig(true);
    rig.create();
    rig.dropConnections(true);
    rig.session->startConnection();
    QVERIFY(rig.waitEnded(1));

    const int delays[] = {3, 6, 12, 24, 30};
    QStringList expected{starting, rig.lastReason()};
    for (int attempt = 1; attempt <= 5; ++attempt) {
        QCOMPARE(rig.status()->text(), retryText(rig.lastReason(), attempt, delays[attempt - 1]));
        QVERIFY(rig.reconnectTimer()->isActive());
        QCOMPARE(rig.reconnectTimer()->interval(), delays[attempt - 1] * 1000);
        QVERIFY(rig.session->isEngaged());
        QCOMPARE(rig.lines(), expected);

        Rig::fire(rig.reconnectTimer());
        expected << retrying;
        QVERIFY(rig.waitEnded(attempt + 1));
        expected << rig.lastReason();
    }
    QCOMPARE(rig.server.connectionCount(), 6);
    QCOMPARE(rig.lines(), expected);
    QCOMPARE(rig.status()->text(), rig.lastReason());
    QVERIFY(!rig.reconnectTimer()->isActive());
    QVERIFY(!rig.session->isEngaged());
    QVERIFY(rig.connectButton()->isEnabled());
    QVERIFY(!rig.disconnectButton()->isEnabled());
    QCOMPARE(rig.titles->size(), 6);

    // Pressing connect again starts a fresh count.
    rig.session->startConnection();
    QVERIFY(rig.waitEnded(7));
    QCOMPARE(rig.status()->text(), retryText(rig.lastReason(), 1, 3));
}

void TestSession::secondOutageContinuesTheCount()
{
    SKIP_IF_WINE_LOSES_EARLY_CLOSE();
    Rig rig(true);
    rig.create();
    rig.session->startConnection();
    QVERIFY(rig.waitConnected(1));

    rig.server.closeConnection(); // first outage
    QVERIFY(rig.waitEnded(1));
    QCOMPARE(rig.status()->text(), retryText(rig.lastReason(), 1, 3));

    rig.dropConnections(true); // attempt 1 fails
    Rig::fire(rig.reconnectTimer());
    QVERIFY(rig.waitEnded(2));
    QCOMPARE(rig.status()->text(), retryText(rig.lastReason(), 2, 6));

    rig.dropConnections(false); // attempt 2 heals it
    Rig::fire(rig.reconnectTimer());
    QVERIFY(rig.waitConnected(3));
    QVERIFY(!rig.reconnectTimer()->isActive());

    rig.server.closeConnection(); // second outage
    QVERIFY(rig.waitEnded(3));
    QCOMPARE(rig.status()->text(), retryText(rig.lastReason(), 3, 12));
    QCOMPARE(rig.reconnectTimer()->interval(), 12000);
    QCOMPARE(rig.lines(),
             (QStringList{starting, established, rig.ends->at(0).at(0).toString(), retrying,
                          rig.ends->at(1).at(0).toString(), retrying, established,
                          rig.lastReason()}));
}

// A server's words may run to 64 KiB: the status line shows their start, the journal all.
void TestSession::longServerReasonCutForDisplay()
{
    Rig rig;
    rig.server.setAutoHandshake(false);
    rig.create();
    const QString reason(5000, QChar(0x44F));
    QObject::connect(&rig.server, &RfbTestServer::clientConnected, &rig.server, [&] {
        rig.server.send(rfbwire::version(8) + rfbwire::securityTypes({})
            + rfbwire::failureReason(reason.toUtf8()));
    });
    rig.session->startConnection();
    QVERIFY(rig.waitEnded(1));
    QCOMPARE(rig.lines().last(), reason);
    QCOMPARE(rig.status()->text(), reason.left(Session::maxShownReasonLength - 1) + u'…');
}

void TestSession::disconnectWhileRetryPending()
{
    Rig rig(true);
    rig.create();
    rig.session->startConnection();
    QVERIFY(rig.waitConnected(1));
    rig.server.closeConnection();
    QVERIFY(rig.waitEnded(1));
    QVERIFY(rig.reconnectTimer()->isActive());

    rig.disconnectButton()->click();
    QVERIFY(!rig.reconnectTimer()->isActive());
    QVERIFY(!rig.session->isEngaged());
    QCOMPARE(rig.status()->text(), QStringLiteral("Отключено"));
    QCOMPARE(rig.lines().last(), byUser);
    QCOMPARE(rig.titles->last().at(0).toBool(), false);
    QVERIFY(rig.connectButton()->isEnabled());
    QVERIFY(!rig.disconnectButton()->isEnabled());

    QTest::qWait(50);
    QCOMPARE(rig.server.connectionCount(), 1);
    QCOMPARE(rig.lines().size(), 4);
}

void TestSession::startWhileEngagedDoesNothing_data()
{
    QTest::addColumn<QString>("phase");
    QTest::newRow("connecting") << "connecting";
    QTest::newRow("connected") << "connected";
    QTest::newRow("waiting to retry") << "waiting";
}

void TestSession::startWhileEngagedDoesNothing()
{
    QFETCH(QString, phase);
    Rig rig(true);
    // A server that never speaks keeps the attempt in progress.
    rig.server.setAutoHandshake(phase != QLatin1String("connecting"));
    rig.create();
    rig.session->startConnection();
    if (phase == QLatin1String("connecting"))
        QTRY_COMPARE_WITH_TIMEOUT(rig.status()->text(),
                                  QStringLiteral("Согласование подключения…"), 10000);
    else
        QVERIFY(rig.waitConnected(1));
    if (phase == QLatin1String("waiting")) {
        rig.server.closeConnection();
        QVERIFY(rig.waitEnded(1));
    }
    const QStringList before = rig.lines();
    const QString status = rig.status()->text();
    const bool timerActive = rig.reconnectTimer()->isActive();

    rig.session->startConnection();
    QTest::qWait(50);
    QCOMPARE(rig.lines(), before);
    QCOMPARE(rig.status()->text(), status);
    QCOMPARE(rig.reconnectTimer()->isActive(), timerActive);
    QCOMPARE(rig.server.connectionCount(), 1);
}

void TestSession::disconnectByUserWithoutGuard_data()
{
    QTest::addColumn<bool>("endedFirst");
    QTest::newRow("never connected") << false;
    QTest::newRow("after a final end") << true;
}

void TestSession::disconnectByUserWithoutGuard()
{
    QFETCH(bool, endedFirst);
    Rig rig(false);
    rig.create();
    QStringList expected;
    if (endedFirst) {
        rig.session->startConnection();
        QVERIFY(rig.waitConnected(1));
        rig.server.closeConnection();
        QVERIFY(rig.waitEnded(1));
        expected = rig.lines();
    }
    const int titles = rig.titles->size();

    rig.session->disconnectByUser();
    QCOMPARE(rig.status()->text(), QStringLiteral("Отключено"));
    QCOMPARE(rig.titles->size(), titles + 1);
    QCOMPARE(rig.titles->last().at(0).toBool(), false);
    QCOMPARE(rig.lines(), expected << byUser);
    QVERIFY(!rig.session->isEngaged());
    QVERIFY(rig.connectButton()->isEnabled());
}

void TestSession::releasesHeldInputBeforeClosing_data()
{
    QTest::addColumn<bool>("destroy");
    QTest::newRow("session destroyed") << true;
    QTest::newRow("user disconnect") << false;
}

void TestSession::releasesHeldInputBeforeClosing()
{
    QFETCH(bool, destroy);
    Rig rig(true);
    rig.server.setPassword(QString()); // the handshake compared below is security None's
    rig.create();
    rig.session->startConnection();
    QVERIFY(rig.waitConnected(1));
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.received(), rfbwire::clientHandshake38None(800, 480),
                              10000);

    QTest::keyPress(rig.view, Qt::Key_A);
    QTRY_VERIFY_WITH_TIMEOUT(rig.server.received().endsWith(rfbwire::keyEvent(0x61, true)), 10000);
    const qsizetype mark = rig.server.received().size();
    const QStringList lines = rig.lines();

    if (destroy) {
        rig.session.reset();
        QCOMPARE(rig.lines(), lines); // nothing written
    } else {
        rig.session->disconnectByUser();
        QCOMPARE(rig.lines(), lines + QStringList{byUser});
        QVERIFY(rig.view->pressedKeys().isEmpty());
    }
    QTRY_VERIFY_WITH_TIMEOUT(!rig.server.connection()
                                 || rig.server.connection()->state()
                                        != QAbstractSocket::ConnectedState,
                             10000);
    // The key comes up on the panel and the pointer buttons are lifted before the close.
    const QByteArray release = rfbwire::keyEvent(0x61, false) + rfbwire::pointerEvent(0, 0, 0);
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.received().mid(mark).toHex(), release.toHex(), 10000);
}

// ---------------------------------------------------------------------------------------------
// Header and tools

void TestSession::enablingRules_data()
{
    // Events: C connect (until the first frame), E server ends the connection, D the disconnect
    // button, V the view-only box clicked. Expected: refresh, snapshot, keyboard, Ctrl+Alt+Del
    // as 1/0.
    QTest::addColumn<bool>("viewOnly");
    QTest::addColumn<QString>("events");
    QTest::addColumn<QString>("expected");

    QTest::newRow("at start") << false << "" << "0000";
    QTest::newRow("at start, view only") << true << "" << "0000";
    QTest::newRow("connected") << false << "C" << "1111";
    QTest::newRow("connected, view only") << true << "C" << "1100";
    QTest::newRow("ended keeps the snapshot") << false << "CE" << "0100";
    QTest::newRow("disconnect clicked") << false << "CD" << "0100";
    QTest::newRow("view only switched on while connected") << false << "CV" << "1100";
    QTest::newRow("view only switched off while connected") << true << "CV" << "1111";
    QTest::newRow("view only switched off while not connected") << true << "V" << "0000";
    QTest::newRow("view only switched off after an end") << true << "CEV" << "0100";
    QTest::newRow("view only toggled twice while connected") << false << "CVV" << "1111";
    QTest::newRow("reconnected after disconnect") << false << "CDC" << "1111";
}

void TestSession::enablingRules()
{
    QFETCH(bool, viewOnly);
    QFETCH(QString, events);
    QFETCH(QString, expected);

    Rig rig(false, viewOnly);
    rig.create();
    auto *viewOnlyBox = rig.child<QCheckBox>(QStringLiteral("viewOnly"));
    QVERIFY(viewOnlyBox);
    QCOMPARE(viewOnlyBox->isChecked(), viewOnly);
    QCOMPARE(rig.view->isViewOnly(), viewOnly);

    int connections = 0;
    int ends = 0;
    for (const QChar event : events) {
        switch (event.toLatin1()) {
        case 'C':
            rig.session->startConnection();
            QVERIFY(rig.waitConnected(++connections));
            break;
        case 'E':
            rig.server.closeConnection();
            QVERIFY(rig.waitEnded(++ends));
            break;
        case 'D':
            rig.disconnectButton()->click();
            break;
        case 'V':
            viewOnlyBox->click();
            QCOMPARE(rig.view->isViewOnly(), viewOnlyBox->isChecked());
            QCOMPARE(rig.session->profile().viewOnly, viewOnlyBox->isChecked());
            break;
        }
    }

    const QStringList names{"Обновить экран", "Сохранить снимок…", "Экранная клавиатура…",
                            "Ctrl + Alt + Del"};
    QString actual;
    for (const QString &name : names) {
        QAction *action = rig.action(name);
        QVERIFY2(action, qPrintable(name));
        actual += action->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
    }
    QCOMPARE(actual, expected);
    QVERIFY(rig.action("Заметки о панели…")->isEnabled());
}

void TestSession::zoomSelector_data()
{
    QTest::addColumn<QList<int>>("choices");
    QTest::addColumn<QList<double>>("factors");
    QTest::newRow("150% then fit") << QList<int>{3, 0} << QList<double>{1.5, 0.0};
    QTest::newRow("every item") << QList<int>{1, 2, 3, 4, 0} << QList<double>{1.0, 1.25, 1.5, 2.0, 0.0};
}

void TestSession::zoomSelector()
{
    QFETCH(QList<int>, choices);
    QFETCH(QList<double>, factors);
    Rig rig;
    rig.create();
    auto *zoom = rig.child<QComboBox>(QStringLiteral("sessionZoom"));
    QVERIFY(zoom);
    QCOMPARE(zoom->count(), 5);
    QCOMPARE(zoom->currentIndex(), 0);
    QCOMPARE(rig.view->zoomFactor(), 0.0);
    for (int i = 0; i < choices.size(); ++i) {
        zoom->setCurrentIndex(choices.at(i));
        QCOMPARE(rig.view->zoomFactor(), factors.at(i));
    }
    QCOMPARE(rig.session->profile().viewOnly, false); // the zoom is not part of the record
}

void TestSession::applyProfile_data()
{
    QTest::addColumn<QString>("phase");
    QTest::addColumn<bool>("applied");
    QTest::addColumn<QString>("host");
    QTest::newRow("idle") << "idle" << true << "10.0.0.7";
    QTest::newRow("after a user disconnect") << "disconnected" << true << "10.0.0.7";
    QTest::newRow("connected") << "connected" << false << "10.0.0.7";
    QTest::newRow("waiting to retry") << "waiting" << false << "10.0.0.7";
    QTest::newRow("idle, host with a numeric scope id") << "idle" << true << "fe80::1%2";
    // The session's own record handed back must not wipe the password it aliases.
    QTest::newRow("idle, its own record") << "own" << false << "10.0.0.7";
}

void TestSession::applyProfile()
{
    QFETCH(QString, phase);
    QFETCH(bool, applied);
    QFETCH(QString, host);
    Rig rig(true);
    rig.create();
    if (phase != QLatin1String("idle") && phase != QLatin1String("own")) {
        rig.session->startConnection();
        QVERIFY(rig.waitConnected(1));
    }
    if (phase == QLatin1String("waiting")) {
        rig.server.closeConnection();
        QVERIFY(rig.waitEnded(1));
    }
    if (phase == QLatin1String("disconnected"))
        rig.session->disconnectByUser();

    PanelProfile edited = rig.profile;
    edited.name = QStringLiteral("Пресс <img src=\"x.png\"><b>2</b>");
    edited.host = host;
    edited.port = 5901;
    edited.viewOnly = true;
    edited.notes = QStringLiteral("новые заметки");
    if (phase == QLatin1String("own"))
        rig.session->applyProfile(rig.session->profile());
    else
        rig.session->applyProfile(edited);

    const PanelProfile &now = rig.session->profile();
    auto *title = rig.child<QLabel>(QStringLiteral("sessionTitle"));
    auto *box = rig.child<QCheckBox>(QStringLiteral("viewOnly"));
    const auto muted = rig.session->findChildren<QLabel *>(QStringLiteral("muted"));
    QStringList mutedTexts;
    for (QLabel *label : muted)
        mutedTexts << label->text();
    const PanelProfile &want = applied ? edited : rig.profile;
    QCOMPARE(now, want);
    QCOMPARE(title->text(), want.name);
    QTextDocument tip; // a tool tip that looks like markup is shown as rich text
    tip.setHtml(title->toolTip());
    QCOMPARE(tip.toPlainText(), want.name);
    QCOMPARE(title->textFormat(), Qt::PlainText);
    QVERIFY2(mutedTexts.contains(want.host + QStringLiteral(" : ") + QString::number(want.port)),
             qPrintable(mutedTexts.join(QLatin1Char('|'))));
    QCOMPARE(box->isChecked(), want.viewOnly);
    QCOMPARE(rig.view->isViewOnly(), want.viewOnly);
}

void TestSession::selectionAndCompact()
{
    Rig rig;
    rig.create();
    auto *title = rig.child<QLabel>(QStringLiteral("sessionTitle"));
    QCOMPARE(rig.session->objectName(), QStringLiteral("session"));
    QVERIFY(rig.session->testAttribute(Qt::WA_StyledBackground));
    QCOMPARE(rig.session->minimumSize(), QSize(280, 220));
    QVERIFY(rig.child<QScrollArea>(QStringLiteral("remoteScroll"))->widget() == rig.view);

    rig.session->setSelected(false);
    QCOMPARE(rig.session->property("selected").toBool(), false);
    QVERIFY(!rig.view->isActive());
    rig.session->setSelected(true);
    QCOMPARE(rig.session->property("selected").toBool(), true);
    QVERIFY(rig.view->isActive());

    rig.session->setCompact(true);
    QVERIFY(title->isHidden());
    QVERIFY(rig.frameAge() && !rig.frameAge()->isHidden());
    int hiddenMuted = 0;
    for (QLabel *label : rig.session->findChildren<QLabel *>(QStringLiteral("muted")))
        hiddenMuted += label->isHidden();
    QCOMPARE(hiddenMuted, 1); // the address, not the frame age
    rig.session->setCompact(false);
    QVERIFY(!title->isHidden());
}

void TestSession::headerSignals()
{
    Rig rig;
    rig.create();
    QSignalSpy expand(rig.session.get(), &Session::expandRequested);
    QSignalSpy close(rig.session.get(), &Session::closeRequested);
    buttonWithText(rig.session.get(), "◎")->click();
    QCOMPARE(rig.activations->size(), 1);
    buttonWithText(rig.session.get(), "⤢")->click();
    QCOMPARE(expand.size(), 1);
    buttonWithText(rig.session.get(), "×")->click();
    QCOMPARE(close.size(), 1);

    // A click into a view that is not selected asks for activation through the session.
    rig.session->setSelected(false);
    QTest::mouseClick(rig.view, Qt::LeftButton);
    QCOMPARE(rig.activations->size(), 2);
    QVERIFY(rig.lines().isEmpty());
}

void TestSession::ctrlAltDel_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("sent");
    QTest::newRow("confirmed") << "Продолжить" << true;
    QTest::newRow("cancelled") << "Отмена" << false;
}

void TestSession::ctrlAltDel()
{
    QFETCH(QString, answer);
    QFETCH(bool, sent);
    Rig rig;
    rig.create();
    rig.session->startConnection();
    QVERIFY(rig.waitConnected(1));
    QTest::qWait(50);
    rig.server.takeSessionBytes();

    DialogDriver driver;
    int activationsWhileAsking = -1;
    Rig *r = &rig;
    driver.expect([r, &activationsWhileAsking, answer](QDialog *dialog) {
        activationsWhileAsking = int(r->activations->size());
        clickButton(answer)(dialog);
    });
    rig.action("Ctrl + Alt + Del")->trigger();
    QCOMPARE(driver.seen(), 1);
    QCOMPARE(driver.titles.first(), QStringLiteral("Отправить сочетание?"));
    QVERIFY(driver.texts.first().contains(
        QStringLiteral("Передать Ctrl + Alt + Del панели «Линия розлива 3»?")));
    QCOMPARE(activationsWhileAsking, 1);

    QByteArray expected;
    if (sent) {
        expected = rfbwire::keyEvent(0xFFE3, true) + rfbwire::keyEvent(0xFFE9, true)
                   + rfbwire::keyEvent(0xFFFF, true) + rfbwire::keyEvent(0xFFFF, false)
                   + rfbwire::keyEvent(0xFFE9, false) + rfbwire::keyEvent(0xFFE3, false);
        QTRY_VERIFY_WITH_TIMEOUT(rig.server.received().endsWith(expected), 10000);
    } else {
        QTest::qWait(50);
        const QByteArray bytes = rig.server.takeSessionBytes();
        QVERIFY2(!bytes.contains(rfbwire::keyEvent(0xFFFF, true)), bytes.toHex().constData());
    }
    QCOMPARE(driver.unexpected(), 0);
}

void TestSession::notes_data()
{
    QTest::addColumn<QString>("notes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("empty")
        << QString()
        << QStringLiteral("Заметки пока не добавлены. Их можно заполнить в настройках панели.");
    const QString lines = QStringLiteral("Шкаф А2, <b>серийный</b> №17\nКонтакт: дежурный");
    QTest::newRow("several lines with markup") << lines << lines;
}

void TestSession::notes()
{
    QFETCH(QString, notes);
    QFETCH(QString, shown);
    Rig rig;
    rig.profile.notes = notes;
    rig.create();

    DialogDriver driver;
    QString format;
    driver.expect([&format, shown](QDialog *dialog) {
        for (QLabel *label : dialog->findChildren<QLabel *>())
            if (label->text() == shown)
                format = label->textFormat() == Qt::PlainText ? "plain" : "rich";
        clickButton(QStringLiteral("Понятно"))(dialog);
    });
    rig.action("Заметки о панели…")->trigger();
    QCOMPARE(driver.seen(), 1);
    QCOMPARE(driver.titles.first(), QStringLiteral("Заметки · Линия розлива 3"));
    QCOMPARE(format, QStringLiteral("plain"));
    QVERIFY(rig.lines().isEmpty());
}

void TestSession::frameAgeText_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    // The live cases are in frameAgeLine; these are the ones a running clock cannot show.
    QTest::newRow("fraction truncated") << QSize(1024, 768) << qint64(-1) << "1024 × 768 · кадр 0 с назад";
    QTest::newRow("clock went back") << QSize(800, 480) << qint64(-30) << "800 × 480 · кадр 0 с назад";
}

// A reason may carry "%1" (Qt's socket texts, a server's words); it must come through as is.
void TestSession::retryStatusText()
{
    for (const QString &reason : { QStringLiteral("Сбой %1 на линии %3"), QStringLiteral("100%") })
        QCOMPARE(Session::retryStatusText(reason, 2, 6),
            reason + QStringLiteral(" · Повтор 2/5 через 6 с"));
}

void TestSession::frameAgeText()
{
    QFETCH(QSize, size);
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    const QDateTime last(QDate(2026, 3, 29), QTime(1, 59, 59, 600));
    // -1 stands for 0.9 s: less than a whole second.
    const QDateTime now = seconds == -1 ? last.addMSecs(900) : last.addSecs(seconds);
    QCOMPARE(Session::frameAgeText(size, last, now), text);
}

void TestSession::frameAgeLine()
{
    QDateTime now(QDate(2026, 3, 5), QTime(14, 7, 9));
    Rig rig(true);
    rig.create();
    rig.session->setClock([&now] { return now; });
    QLabel *age = rig.frameAge();
    QVERIFY(age);
    QVERIFY(rig.frameAgeTimer()->isActive());
    QCOMPARE(rig.frameAgeTimer()->interval(), 1000);

    Rig::fire(rig.frameAgeTimer());
    QCOMPARE(age->text(), QString()); // no frame yet

    rig.session->startConnection();
    QVERIFY(rig.waitConnected(1));
    QCOMPARE(age->text(), QStringLiteral("800 × 480 · кадр 0 с назад"));

    now = now.addSecs(10);
    Rig::fire(rig.frameAgeTimer());
    QCOMPARE(age->text(), QStringLiteral("800 × 480 · кадр 10 с назад"));

    // A completed update makes the picture new again.
    rig.server.send(rfbwire::update(1) + rfbwire::solidRaw(0, 0, 4, 4, 0x204080));
    QTRY_COMPARE_WITH_TIMEOUT(age->text(), QStringLiteral("800 × 480 · кадр 0 с назад"), 10000);

    // The line keeps counting after the end; a new attempt has no picture yet.
    rig.server.closeConnection();
    QVERIFY(rig.waitEnded(1));
    now = now.addSecs(7);
    Rig::fire(rig.frameAgeTimer());
    QCOMPARE(age->text(), QStringLiteral("800 × 480 · кадр 7 с назад"));
    rig.dropConnections(true);
    Rig::fire(rig.reconnectTimer());
    now = now.addSecs(1);
    Rig::fire(rig.frameAgeTimer());
    QCOMPARE(age->text(), QStringLiteral("0 × 0 · кадр 8 с назад"));
    rig.dropConnections(false);
}

// ---------------------------------------------------------------------------------------------
// Password

void TestSession::prompt_data()
{
    QTest::addColumn<QString>("encryption"); // the record's, as stored
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("serverPassword"); // "-" for security None
    QTest::addColumn<bool>("connects");
    QTest::addColumn<bool>("notice");
    QTest::addColumn<QString>("held"); // the session's password afterwards

    // clang-format off
    QTest::newRow("latin") << "" << "Pa55word" << "Подключить" << "Pa55word" << true << false << "Pa55word";
    // No password went to the panel, so none was skipped: no warning, though "remember" is set.
    QTest::newRow("empty: no password") << "" << "" << "Подключить" << "-" << true << false << "";
    QTest::newRow("latin-1 letters with diacritics")
        << "" << "éàüñçøåß" << "Подключить" << "éàüñçøåß" << true << false << "éàüñçøåß";
    QTest::newRow("ninth character is not typed") << "" << "123456789" << "Подключить" << "12345678"
                                                  << true << false << "12345678";
    QTest::newRow("cyrillic") << "" << "пароль" << "Подключить" << "-" << false << true << "";
    QTest::newRow("one cyrillic letter") << "" << "secrеt" << "Подключить" << "-" << false << true << "";
    QTest::newRow("euro sign, outside Latin-1") << "" << "€uro" << "Подключить" << "-" << false << true << "";
    QTest::newRow("cancelled") << "" << "secret" << "Отмена" << "-" << false << false << "";
    QTest::newRow("escape") << "" << "secret" << "Escape" << "-" << false << false << "";
    // With encryption the whole password goes inside the encrypted session: any script, up to 128.
    QTest::newRow("encrypted: cyrillic, longer than eight")
        << "preferred" << "пароль панели №3" << "Подключить" << "-" << true << false << "пароль панели №3";
    QTest::newRow("encrypted: 129th character is not typed")
        << "preferred" << QString(129, u'ж') << "Подключить" << "-" << true << false << QString(128, u'ж');
    QTest::newRow("encrypted: cancelled") << "required" << "€uro" << "Отмена" << "-" << false << false << "";
    // clang-format on
}

void TestSession::prompt()
{
    QFETCH(QString, encryption);
    QFETCH(QString, typed);
    QFETCH(QString, button);
    QFETCH(QString, serverPassword);
    QFETCH(bool, connects);
    QFETCH(bool, notice);
    QFETCH(QString, held);

    // Remembered with nothing stored: every connect asks, as without "remember" and a password.
    Rig rig;
    rig.profile.password.clear();
    rig.profile.remember = true;
    rig.profile.encryption = PanelProfile::encryptionFromName(encryption);
    rig.server.setPassword(serverPassword == QLatin1String("-") ? QString() : serverPassword);
    rig.create();

    DialogDriver driver;
    QString shownInInput;
    const int limit = encryption.isEmpty() ? 8 : 128;
    driver.expect([typed, button, limit, &shownInInput](QDialog *dialog) {
        auto *input = dialog->findChild<QLineEdit *>();
        QVERIFY(input);
        QCOMPARE(input->maxLength(), limit);
        QVERIFY(input->text().isEmpty());
        answerPrompt(typed, button)(dialog);
        shownInInput = input->text();
    });
    if (notice)
        driver.expect(clickButton(QStringLiteral("Понятно")));

    rig.session->startConnection();
    QCOMPARE(driver.titles.value(0), QStringLiteral("Подключение · Линия розлива 3"));
    QVERIFY(driver.texts.value(0).contains(
        QStringLiteral("Введите пароль или оставьте поле пустым для входа без пароля.")));
    // The plain prompt says nothing more; an encrypted panel's says what it takes.
    QCOMPARE(driver.texts.value(0).contains(QStringLiteral("до 128 символов любого алфавита")),
        !encryption.isEmpty());
    QCOMPARE(driver.seen(), notice ? 2 : 1);
    QCOMPARE(driver.unexpected(), 0);
    if (notice) {
        QCOMPARE(driver.titles.at(1), QStringLiteral("Пароль"));
        QVERIFY(driver.texts.at(1).contains(
            QStringLiteral("Используйте до 8 символов Latin-1 (латиница, цифры).")));
    }
    QCOMPARE(rig.session->profile().password, held);

    if (connects) {
        QCOMPARE(rig.lines(), QStringList{starting});
        QVERIFY(rig.waitConnected(1));
        QVERIFY(!rig.server.authenticationRejected());
        // A password handed to a panel that asked for none is told.
        QStringList expected{starting, established};
        if (!held.isEmpty() && serverPassword == QLatin1String("-"))
            expected << QStringLiteral("Панель подключена без пароля, хотя он задан");
        QCOMPARE(rig.lines(), expected);
    } else {
        // Nothing changes: no attempt, no status text, no journal line.
        QVERIFY(!rig.session->isEngaged());
        QVERIFY(rig.lines().isEmpty());
        QCOMPARE(rig.status()->text(), QStringLiteral("Готов к подключению"));
        QVERIFY(rig.connectButton()->isEnabled());
        QTest::qWait(30);
        QCOMPARE(rig.server.connectionCount(), 0);
    }
}

// The prompt asks for a user name too when told to: "Подключить" waits for one, and a
// cancelled prompt leaves both answers alone.
void TestSession::promptForUserName_data()
{
    QTest::addColumn<QString>("known"); // the user name the prompt starts from
    QTest::addColumn<QString>("typedUser"); // added to it
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("userName"); // afterwards
    QTest::addColumn<QString>("password"); // afterwards
    // clang-format off
    QTest::newRow("typed") << "" << "ivan" << "Подключить" << true << "ivan" << "пароль-9";
    QTest::newRow("known kept") << "admin" << "" << "Подключить" << true << "admin" << "пароль-9";
    QTest::newRow("empty cannot connect") << "" << "" << "Подключить" << false << "" << "old";
    QTest::newRow("cancelled") << "admin" << "x" << "Отмена" << false << "admin" << "old";
    // clang-format on
}

void TestSession::promptForUserName()
{
    QFETCH(QString, known);
    QFETCH(QString, typedUser);
    QFETCH(QString, button);
    Rig rig;
    rig.profile.encryption = PanelProfile::Encryption::Required;
    rig.create();

    DialogDriver driver;
    bool okEnabled = false;
    driver.expect([&](QDialog *dialog) {
        QLineEdit *userInput = nullptr;
        QLineEdit *passwordInput = nullptr;
        for (QLineEdit *edit : dialog->findChildren<QLineEdit *>()) {
            if (edit->accessibleName() == QStringLiteral("Пользователь"))
                userInput = edit;
            else if (edit->accessibleName() == QStringLiteral("Пароль"))
                passwordInput = edit;
        }
        QVERIFY(userInput && passwordInput);
        QCOMPARE(userInput->text(), known);
        userInput->setText(known + typedUser);
        okEnabled = buttonWithText(dialog, QStringLiteral("Подключить"))->isEnabled();
        passwordInput->setText(QStringLiteral("пароль-9"));
        if (okEnabled || button != QStringLiteral("Подключить"))
            clickButton(button)(dialog);
        else
            dialog->reject();
    });
    Password password(QStringLiteral("old"));
    QString userName = known;
    const bool accepted
        = PasswordPrompt::ask(rig.session.get(), rig.session->profile(), &password, &userName);
    QCOMPARE(driver.seen(), 1);
    QCOMPARE(driver.unexpected(), 0);
    QVERIFY(driver.texts.value(0).contains(QStringLiteral("Панель требует имя пользователя.")));
    QCOMPARE(okEnabled, !(known + typedUser).isEmpty());
    QTEST(accepted, "accepted");
    QTEST(userName, "userName");
    QTEST(password.toQString(), "password");
}

void TestSession::promptAsksAgainAfterEmptyAnswer()
{
    Rig rig;
    rig.profile.password.clear();
    rig.server.setPassword(QStringLiteral("later"));
    rig.create();

    DialogDriver driver;
    driver.expect(answerPrompt(QString(), QStringLiteral("Подключить")));
    rig.session->startConnection();
    QVERIFY(rig.waitEnded(1)); // an empty password is refused by this panel
    QVERIFY(rig.server.authenticationRejected());

    driver.expect(answerPrompt(QStringLiteral("later"), QStringLiteral("Подключить")));
    rig.session->startConnection();
    QCOMPARE(driver.seen(), 2);
    QVERIFY(rig.waitConnected(2));

    // A password that was entered stays with the session: no more questions.
    rig.session->disconnectByUser();
    rig.session->startConnection();
    QVERIFY(rig.waitConnected(3));
    QCOMPARE(driver.seen(), 2);
    QCOMPARE(driver.unexpected(), 0);
}

void TestSession::rememberedPasswordSkipsPrompt()
{
    Rig rig;
    rig.profile.password = QStringLiteral("stored1");
    rig.profile.remember = true;
    QVERIFY2(CredentialStore::writePassword(rig.profile), "the test keyring is not reachable");
    // What the session holds is replaced by what is stored at every user-started connect.
    rig.profile.password = QStringLiteral("stale");
    rig.server.setPassword(QStringLiteral("stored1"));
    rig.create();

    DialogDriver driver;
    rig.session->startConnection();
    QVERIFY(rig.waitConnected(1));
    QCOMPARE(rig.session->profile().password, QStringLiteral("stored1"));

    // The user changes the stored password in the editor; the next connect reads it.
    rig.session->disconnectByUser();
    PanelProfile changed = rig.profile;
    changed.password = QStringLiteral("stored2");
    QVERIFY(CredentialStore::writePassword(changed));
    rig.server.setPassword(QStringLiteral("stored2"));
    rig.session->startConnection();
    QVERIFY(rig.waitConnected(2));
    QCOMPARE(driver.seen(), 0);
    CredentialStore::deletePassword(rig.profile);
}

void TestSession::rememberWithNothingStoredAsksEveryTime()
{
    Rig rig;
    rig.profile.remember = true;
    rig.profile.password = QStringLiteral("editor");
    CredentialStore::deletePassword(rig.profile);
    rig.server.setPassword(QStringLiteral("typed"));
    rig.create();

    DialogDriver driver;
    for (int round = 1; round <= 2; ++round) {
        driver.expect(answerPrompt(QStringLiteral("typed"), QStringLiteral("Подключить")));
        rig.session->startConnection();
        QCOMPARE(driver.seen(), round);
        QVERIFY(rig.waitConnected(round));
        rig.session->disconnectByUser();
    }
    QCOMPARE(driver.unexpected(), 0);
    // The prompt never writes to the store.
    QCOMPARE(CredentialStore::readPassword(rig.profile.id), QString());
}

void TestSession::reconnectionReusesPromptedPassword()
{
    Rig rig(true);
    rig.profile.password.clear();
    rig.profile.compression = true; // asked for by every attempt
    rig.server.setPassword(QStringLiteral("s3cret"));
    rig.create();

    DialogDriver driver;
    driver.expect(answerPrompt(QStringLiteral("s3cret"), QStringLiteral("Подключить")));
    rig.session->startConnection();
    QVERIFY(rig.waitConnected(1));

    rig.server.closeConnection();
    QVERIFY(rig.waitEnded(1));
    Rig::fire(rig.reconnectTimer());
    QVERIFY(rig.waitConnected(2));
    QTRY_VERIFY(rig.server.received().contains(rfbwire::setCompressedEncodings()));
    QVERIFY(!rig.server.authenticationRejected());
    QCOMPARE(driver.seen(), 1);
    QCOMPARE(driver.unexpected(), 0);
    QCOMPARE(rig.lines().mid(3), (QStringList{retrying, established}));
}

// ---------------------------------------------------------------------------------------------
// A real peer

void TestSession::realPeerPromptAndReconnect()
{
    XVNC_NEEDED();
    const QString password = QStringLiteral("tiger8pw");
    XvncServer xvnc;
    QVERIFY2(xvnc.start(QSize(800, 480), password), qPrintable(xvnc.errorString()));
    QVERIFY2(xvnc.run("xsetroot", {"-solid", "#2d6a4f"}), qPrintable(xvnc.errorString()));

    Rig rig(true);
    rig.profile.port = xvnc.port();
    rig.profile.password.clear();
    rig.create();
    const auto online = [&rig] {
        return rig.client->isLive() && !rig.titles->isEmpty() && rig.titles->last().at(0).toBool();
    };

    DialogDriver driver;
    driver.expect(answerPrompt(password, QStringLiteral("Подключить")));
    rig.session->startConnection();
    QCOMPARE(driver.seen(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(online(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(rig.frameAge()->text().startsWith(QStringLiteral("800 × 480 · кадр")),
                             30000);
    QCOMPARE(rig.status()->text(), QStringLiteral("● Соединение установлено"));

    // The panel goes away and comes back at the same address.
    const quint16 port = xvnc.port();
    xvnc.stop();
    QVERIFY(rig.waitEnded(1));
    const QString reason = rig.lastReason();
    QCOMPARE(rig.status()->text(), retryText(reason, 1, 3));
    XvncServer again;
    QVERIFY2(again.start(QSize(800, 480), password, port), qPrintable(again.errorString()));

    Rig::fire(rig.reconnectTimer());
    QTRY_VERIFY_WITH_TIMEOUT(online(), 30000);
    QCOMPARE(rig.lines(), (QStringList{starting, established, reason, retrying, established}));
    QCOMPARE(driver.seen(), 1); // the held password, no second question
    QCOMPARE(driver.unexpected(), 0);
}

// ---------------------------------------------------------------------------------------------
// Encrypted sessions

// The panel's certificate and the record's pin decide alone; no question is ever put.
void TestSession::encryptedSessions_data()
{
    QTest::addColumn<QString>("served"); // "x509", "expired" (January 2020) or "anonymous"
    QTest::addColumn<QString>("pin"); // "", "served", "other" or a damaged value
    QTest::addColumn<QString>("lock"); // after connecting, or "" for an end with `changed`
    QTest::addColumn<QString>("detail"); // the journal's line after the connection or the end

    // clang-format off
    QTest::newRow("pinned") << "x509" << "served" << checkedLock << "подлинность панели подтверждена";
    QTest::newRow("pinned, expired: connects, the journal says so") << "expired" << "served" << checkedLock
        << "подлинность панели подтверждена; срок действия сертификата истёк %1";
    QTest::newRow("another certificate than the pin") << "x509" << "other" << ""
        << "Закреплённый сертификат: SHA-256 %2; панель предъявила: SHA-256 %1.";
    QTest::newRow("damaged pin") << "x509" << "3fa0 9c" << ""
        << "Закреплённый сертификат: SHA-256 3fa0 9c; панель предъявила: SHA-256 %1.";
    QTest::newRow("anonymous TLS") << "anonymous" << "" << openLock + " + без проверки подлинности"
        << "без сертификата, без проверки подлинности";
    // clang-format on
}

void TestSession::encryptedSessions()
{
    TLS_SERVER_NEEDED();
    QFETCH(QString, served);
    QFETCH(QString, pin);
    QFETCH(QString, lock);
    QFETCH(QString, detail);
    if (served == QLatin1String("anonymous")
        && QSslSocket::activeBackend() != QLatin1String("openssl"))
        QSKIP("anonymous TLS needs the OpenSSL backend");

    QTemporaryDir dir;
    TestCertificate cert;
    TestCertificate other;
    QVERIFY2(served == QLatin1String("expired")
            ? cert.createExpired(dir.path(), QStringLiteral("old"))
            : cert.create(dir.path(), QStringLiteral("panel")),
        qPrintable(cert.errorString()));
    QVERIFY2(other.create(dir.path(), QStringLiteral("other")), qPrintable(other.errorString()));
    ServedPanel panel(8, QStringLiteral("demo"));
    QVERIFY(panel.listening);
    RfbServerTls tls;
    if (served == QLatin1String("anonymous")) {
        tls.anonymous = true;
    } else {
        tls.certificate = cert.certificate();
        tls.key = cert.key();
    }
    QVERIFY(panel.server.setTls(tls));

    Rig rig(true);
    rig.profile.port = panel.server.serverPort();
    rig.profile.password = QStringLiteral("demo");
    rig.profile.encryption
        = pin.isEmpty() ? PanelProfile::Encryption::Preferred : PanelProfile::Encryption::Required;
    rig.profile.certificateSha256 = pin == QLatin1String("served")
        ? PanelProfile::pinFromDigest(cert.sha256())
        : pin == QLatin1String("other") ? PanelProfile::pinFromDigest(other.sha256())
                                        : pin;
    rig.create();
    QSignalSpy questions(rig.session.get(), &Session::certificateQuestion);
    QCOMPARE(lockShown(rig.session.get()), QStringLiteral("hidden"));

    rig.session->startConnection();
    const QString fingerprint = RfbClient::groupedFingerprint(cert.sha256());
    const QString expiry = QDateTime(QDate(2020, 2, 1), QTime(0, 0), Qt::UTC)
                               .toLocalTime()
                               .toString(QStringLiteral("dd.MM.yyyy"));
    if (lock.isEmpty()) {
        QVERIFY(rig.waitEnded(1));
        QCOMPARE(rig.lastReason(), changed);
        QCOMPARE(rig.lines().size(), 3);
        QCOMPARE(rig.lines().at(1), changed);
        QString wanted = detail;
        wanted.replace(QLatin1String("%1"), fingerprint)
            .replace(QLatin1String("%2"), RfbClient::groupedFingerprint(other.sha256()));
        QVERIFY2(rig.lines().at(2).startsWith(wanted), qPrintable(rig.lines().at(2)));
        // Never retried, whatever the record says; the pin stays as it was.
        QVERIFY(!rig.session->isEngaged());
        QVERIFY(!rig.reconnectTimer()->isActive());
        QCOMPARE(rig.session->profile().certificateSha256, rig.profile.certificateSha256);
        QCOMPARE(lockShown(rig.session.get()), QStringLiteral("hidden"));
    } else {
        QTRY_VERIFY(rig.client->isLive());
        QCOMPARE(lockShown(rig.session.get()), lock);
        QCOMPARE(rig.lines().size(), 3);
        QCOMPARE(rig.lines().at(1), established);
        const QString line = rig.lines().at(2);
        QVERIFY2(
            line.startsWith(QStringLiteral("Шифрованное соединение: TLS 1.")), qPrintable(line));
        const QString wanted = detail.contains(QLatin1String("%1")) ? detail.arg(expiry) : detail;
        QVERIFY2(line.endsWith(wanted), qPrintable(line));
        if (served != QLatin1String("anonymous"))
            QVERIFY2(line.contains(QStringLiteral("SHA-256 ") + fingerprint), qPrintable(line));
        QTRY_VERIFY(rig.client->framebuffer() == panel.panel.image());

        // The link drops: the lock goes with it.
        emit panel.panel.dropRequested();
        QVERIFY(rig.waitEnded(1));
        QCOMPARE(lockShown(rig.session.get()), QStringLiteral("hidden"));
    }
    QCOMPARE(questions.size(), 0);
}

// An attempt the operator started asks once about an unknown certificate; the session does not
// ask itself, and takes the answer only for the certificate it waits on.
void TestSession::firstUse_data()
{
    QTest::addColumn<QString>("answer"); // "trust", "refuse", or "disconnect" while it waits
    QTest::newRow("trusted: connects, a dropped link comes back without asking") << "trust";
    QTest::newRow("refused: ends, not retried") << "refuse";
    QTest::newRow("disconnected while asking: the question is void") << "disconnect";
}

void TestSession::firstUse()
{
    TLS_SERVER_NEEDED();
    QFETCH(QString, answer);
    TlsServedPanel panel(QStringLiteral("demo"));
    QVERIFY2(panel.ready, qPrintable(panel.errorString()));
    const TestCertificate &cert = panel.certificate;

    Rig rig(true);
    rig.profile.port = panel.server.serverPort();
    rig.profile.password = QStringLiteral("demo");
    rig.profile.encryption = PanelProfile::Encryption::Required;
    rig.create();
    QSignalSpy questions(rig.session.get(), &Session::certificateQuestion);
    QSignalSpy voids(rig.session.get(), &Session::certificateQuestionVoid);

    DialogDriver driver; // the session itself opens no dialog
    rig.session->startConnection();
    QTRY_COMPARE(questions.size(), 1);
    QCOMPARE(questions.at(0).at(0).value<QSslCertificate>(), cert.certificate());
    QCOMPARE(rig.session->awaitedCertificate(), cert.sha256());
    QVERIFY(rig.session->isEngaged());
    QCOMPARE(rig.lines(), QStringList { starting });
    QCOMPARE(rig.status()->text(),
        QStringLiteral("Подлинность панели не подтверждена: ожидается решение оператора"));

    const QString fingerprint = RfbClient::groupedFingerprint(cert.sha256());
    const QByteArray wrong(32, '\x5a');
    if (answer == QLatin1String("trust")) {
        rig.session->trustCertificate(wrong); // not the certificate it waits on: ignored
        QCOMPARE(rig.session->awaitedCertificate(), cert.sha256());
        rig.session->trustCertificate(cert.sha256());
        QTRY_VERIFY(rig.client->isLive());
        QCOMPARE(rig.lines().mid(1, 2),
            (QStringList {
                QStringLiteral("Сертификат панели принят оператором: SHA-256 ") + fingerprint,
                established }));
        QCOMPARE(
            rig.session->profile().certificateSha256, PanelProfile::pinFromDigest(cert.sha256()));
        QCOMPARE(lockShown(rig.session.get()), checkedLock);
        rig.session->refuseCertificate(cert.sha256()); // answered already: changes nothing
        QVERIFY(rig.client->isLive());

        emit panel.panel.dropRequested();
        QVERIFY(rig.waitEnded(1));
        Rig::fire(rig.reconnectTimer());
        QTRY_VERIFY(rig.client->isLive());
        QCOMPARE(lockShown(rig.session.get()), checkedLock);
        QCOMPARE(questions.size(), 1);
        const QStringList lines = rig.lines();
        QCOMPARE(lines.at(lines.size() - 2), established);
        QVERIFY(lines.last().startsWith(QStringLiteral("Шифрованное соединение: TLS 1.")));
    } else if (answer == QLatin1String("refuse")) {
        rig.session->refuseCertificate(wrong);
        QVERIFY(rig.session->isEngaged());
        rig.session->refuseCertificate(cert.sha256());
        QCOMPARE(rig.lines(),
            (QStringList { starting,
                QStringLiteral("Сертификат панели не принят оператором: SHA-256 ") + fingerprint,
                unconfirmed }));
        QCOMPARE(rig.status()->text(), unconfirmed);
        QVERIFY(!rig.session->isEngaged());
        QVERIFY(!rig.reconnectTimer()->isActive());
        QVERIFY(rig.session->profile().certificateSha256.isEmpty());
        QCOMPARE(voids.size(), 0); // answered, not withdrawn
    } else {
        rig.session->disconnectByUser();
        QCOMPARE(voids.size(), 1);
        QVERIFY(rig.session->awaitedCertificate().isEmpty());
        // A late answer changes nothing.
        rig.session->trustCertificate(cert.sha256());
        QVERIFY(rig.session->profile().certificateSha256.isEmpty());
        QCOMPARE(rig.lines(), (QStringList { starting, byUser }));
        QTest::qWait(50);
        QVERIFY(!rig.client->isLive());
    }
    QCOMPARE(driver.seen(), 0);
}

// Nobody is asked when nobody started the attempt: it ends with the operator's reason, for good.
void TestSession::automaticAttemptNeverAsks()
{
    TLS_SERVER_NEEDED();
    QTemporaryDir dir;
    TestCertificate cert;
    QVERIFY2(cert.create(dir.path(), QStringLiteral("panel")), qPrintable(cert.errorString()));
    Rig rig(true);
    rig.profile.encryption = PanelProfile::Encryption::Required;
    rig.create();
    QSignalSpy questions(rig.session.get(), &Session::certificateQuestion);
    rig.dropConnections(true);
    rig.session->startConnection();
    QVERIFY(rig.waitEnded(1));
    QVERIFY(rig.reconnectTimer()->isActive());

    // The panel at that address now serves TLS with a certificate nobody has seen.
    const quint16 port = rig.server.port();
    rig.server.shutdown();
    DemoPanel panel(QStringLiteral("Тестовая панель"), QSize(800, 480), QSize(1024, 600));
    RfbServer server(&panel, QStringLiteral("x"), 8);
    QVERIFY(server.listen(QHostAddress::LocalHost, port));
    QVERIFY(server.setTls(RfbServerTls { cert.certificate(), cert.key() }));
    Rig::fire(rig.reconnectTimer());
    // The session ends this attempt itself: the client reports nothing.
    QTRY_COMPARE(rig.lines().mid(2), (QStringList { retrying, unconfirmed }));
    QCOMPARE(rig.status()->text(), unconfirmed);
    QVERIFY(!rig.session->isEngaged());
    QVERIFY(!rig.reconnectTimer()->isActive());
    QCOMPARE(questions.size(), 0);
    QVERIFY(rig.session->awaitedCertificate().isEmpty());

    // The operator's own connect asks.
    rig.session->startConnection();
    QTRY_COMPARE(questions.size(), 1);
}

// X509Plain offered to a session without a user name: the attempt ends; the next one the
// operator starts asks for a user name and password although a password is held, and the user
// name reaches the client (which then chooses X509Plain); automatic attempts never ask.
void TestSession::userNameAskedAfterThePanelWantedOne()
{
    Rig rig(true);
    rig.profile.encryption = PanelProfile::Encryption::Preferred;
    rig.create();
    DialogDriver driver;
    rig.session->startConnection();
    QVERIFY(rig.waitConnected(1)); // VNC Authentication: Preferred takes it when 19 is missing

    const QByteArray plainOffer = rfbwire::version(8) + rfbwire::securityTypes({ 19 })
        + QByteArray::fromHex("0002") + rfbwire::u8(0) + rfbwire::u8(1) + rfbwire::u32(262);
    rig.server.setAutoHandshake(false);
    QObject::connect(&rig.server, &RfbTestServer::clientConnected, &rig.server,
        [&rig, plainOffer] { rig.server.send(plainOffer); });
    rig.server.closeConnection();
    QVERIFY(rig.waitEnded(1));
    Rig::fire(rig.reconnectTimer());
    QVERIFY(rig.waitEnded(2));
    QCOMPARE(rig.lastReason(), QStringLiteral("Панель требует имя пользователя."));
    QVERIFY(!rig.session->isEngaged());
    QCOMPARE(driver.seen(), 0);

    QString shownUserName = QStringLiteral("-");
    driver.expect([&shownUserName](QDialog *dialog) {
        for (QLineEdit *edit : dialog->findChildren<QLineEdit *>()) {
            if (edit->accessibleName() == QStringLiteral("Пользователь")) {
                shownUserName = edit->text();
                edit->setText(QStringLiteral("оператор"));
            } else {
                edit->setText(QStringLiteral("пароль-9"));
            }
        }
        clickButton(QStringLiteral("Подключить"))(dialog);
    });
    rig.session->startConnection();
    QCOMPARE(driver.seen(), 1);
    QCOMPARE(shownUserName, QString());
    QVERIFY(driver.texts.value(0).contains(QStringLiteral("Панель требует имя пользователя.")));
    QCOMPARE(rig.session->profile().userName, QStringLiteral("оператор"));
    QCOMPARE(rig.session->profile().password, QStringLiteral("пароль-9"));
    // X509Plain chosen: the client had the user name.
    QTRY_VERIFY(rig.server.received().endsWith(QByteArray::fromHex("0002") + rfbwire::u32(262)));

    // Asked once: the next connect goes on with what the session holds.
    rig.session->disconnectByUser();
    rig.session->startConnection();
    QTRY_COMPARE(rig.server.connectionCount(), 4);
    QTRY_VERIFY(rig.server.received().endsWith(rfbwire::u32(262)));
    QCOMPARE(driver.seen(), 1);
    QCOMPARE(driver.unexpected(), 0);
}

// A panel whose security the session cannot use ends as before; the journal says what to do.
void TestSession::securityOfferHints_data()
{
    QTest::addColumn<QString>("encryption");
    QTest::addColumn<QByteArray>("offer");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("hint");
    const QString unsupported
        = QStringLiteral("Способ защиты соединения на этой панели не поддерживается.");
    const QString askEncryption = QStringLiteral(
        "Панель просит шифрованное соединение: его включает «Шифрование» в карточке панели.");
    const QString rsaAes = QStringLiteral(
        "Панель предлагает шифрование RSA-AES, которое Пелорин пока не поддерживает.");
    // clang-format off
    QTest::newRow("VeNCrypt, encryption off") << "" << rfbwire::securityTypes({19}) << unsupported << askEncryption;
    QTest::newRow("RFB 3.3 VeNCrypt, encryption off") << "" << rfbwire::u32(19)
        << QStringLiteral("Неподдерживаемая авторизация сервера") << askEncryption;
    QTest::newRow("RSA-AES only, encryption off") << "" << rfbwire::securityTypes({5, 129}) << unsupported << rsaAes;
    QTest::newRow("RSA-AES only, encryption required") << "required" << rfbwire::securityTypes({6})
        << QStringLiteral("Панель не предлагает шифрованное соединение.") << rsaAes;
    QTest::newRow("Tight only") << "" << rfbwire::securityTypes({16}) << unsupported << "";
    // clang-format on
}

void TestSession::securityOfferHints()
{
    QFETCH(QString, encryption);
    QFETCH(QByteArray, offer);
    QFETCH(QString, reason);
    QFETCH(QString, hint);
    Rig rig(true);
    rig.profile.encryption = PanelProfile::encryptionFromName(encryption);
    rig.server.setAutoHandshake(false);
    const bool v33 = offer.size() == 4;
    QObject::connect(&rig.server, &RfbTestServer::clientConnected, &rig.server,
        [&rig, offer, v33] { rig.server.send(rfbwire::version(v33 ? 3 : 8) + offer); });
    rig.create();
    rig.session->startConnection();
    QVERIFY(rig.waitEnded(1));
    QStringList expected { starting, reason };
    if (!hint.isEmpty())
        expected << hint;
    QCOMPARE(rig.lines(), expected);
    QCOMPARE(rig.status()->text(), reason);
    QVERIFY(!rig.session->isEngaged());
}

QTEST_MAIN(TestSession)
#include "tst_session.moc"
