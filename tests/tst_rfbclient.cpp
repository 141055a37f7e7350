// The RFB client: byte scripts through an in-memory transport, scripted servers on 127.0.0.1,
// and TigerVNC's Xvnc as a real peer.
#include "hextileencoder.h"
#include "pixelformat.h"
#include "rfbclient.h"
#include "rfbtestserver.h"
#include "xvncserver.h"
#include "zrleencoder.h"

#include <QPainter>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

using namespace rfbwire;

namespace {

constexpr qint64 bufferLimit = 75497472;
const QRgb emptyScreen = 0xFF101820;

QString rejectedText()
{
    return QStringLiteral("Сервер отклонил авторизацию. Проверьте пароль и права доступа.");
}

// A timer "fires" the way QTimer does: a single-shot one is inactive by the time of timeout().
void fire(QTimer *timer)
{
    if (timer->isSingleShot())
        timer->stop();
    QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection);
}

// Raw rectangle whose every pixel differs: the wire bytes are blue, green, red, junk.
QByteArray patternRaw(quint16 x, quint16 y, quint16 w, quint16 h)
{
    QByteArray bytes = rectHeader(x, y, w, h, 0);
    bytes.reserve(bytes.size() + qsizetype(w) * h * 4);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            const int px = x + c, py = y + r;
            bytes += char(px * 7 + py);
            bytes += char(px ^ (py * 3));
            bytes += char(py * 5 + 11);
            bytes += char(0xEE);
        }
    return bytes;
}

QRgb patternPixel(int px, int py)
{
    return qRgb((py * 5 + 11) & 0xFF, (px ^ (py * 3)) & 0xFF, (px * 7 + py) & 0xFF);
}

// One client on a PipeTransport, with its signals recorded in order. Each event notes how many
// bytes the client had written at that moment, which pins down the order of writes and signals.
struct Rig
{
    PipeTransport pipe;
    RfbClient client{nullptr, &pipe};
    QStringList events;
    QSignalSpy ended{&client, &RfbClient::ended};
    QSignalSpy frames{&client, &RfbClient::frameChanged};

    explicit Rig(const QString &password = QStringLiteral("secret"), bool compression = false)
    {
        client.setCompression(compression);
        QObject::connect(&client, &RfbClient::status, &client, [this](const QString &text) {
            events << QStringLiteral("status:") + text;
        });
        QObject::connect(&client, &RfbClient::connected, &client, [this](const QString &name) {
            events << QStringLiteral("connected:%1@%2").arg(name).arg(pipe.written().size());
        });
        QObject::connect(&client, &RfbClient::frameChanged, &client, [this]() {
            events << QStringLiteral("frame@%1").arg(pipe.written().size());
        });
        QObject::connect(&client, &RfbClient::ended, &client, [this](const QString &reason) {
            events << QStringLiteral("ended:") + reason;
        });
        client.connectToPanel(QStringLiteral("panel"), 5900, password);
    }

    // Brings the client to a running session on a screen of this size.
    void live(quint16 w = 800, quint16 h = 480)
    {
        feed(handshake38None(w, h));
        pipe.takeWritten();
        events.clear();
        frames.clear();
    }

    // Feeds server bytes and lets parsing finish: a pass may run out of time or work and go on
    // in a later event-loop turn. Only posted events run, the continuation among them: no timer
    // fires meanwhile, however long a loaded machine takes.
    void feed(const QByteArray &bytes)
    {
        pipe.feed(bytes);
        while (client.parsingPendingForTest())
            QCoreApplication::sendPostedEvents();
    }

    void feedBytewise(const QByteArray &bytes)
    {
        for (char c : bytes)
            feed(QByteArray(1, c));
    }

    RfbClient::ProtocolState state() const { return client.stateForTest(); }
};

} // namespace

class TestRfbClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QAbstractSocket::SocketError>();
    }

    // ---------------------------------------------------------------- handshake byte scripts

    void handshake_data()
    {
        QTest::addColumn<QByteArray>("server");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<int>("finalState");

        const QByteArray challenge = QByteArray::fromHex("0123456789abcdeffedcba9876543210");
        const QByteArray init = serverInit(1280, 800, "Пульт №3");
        const QByteArray setup
            = setPixelFormat() + setEncodings() + updateRequest(false, 1280, 800);
        auto row = [](const char *name, const QByteArray &server, const QString &password,
                      const QByteArray &expected, RfbClient::ProtocolState state) {
            QTest::newRow(name) << server << password << expected << int(state);
        };

        row("3.8 None", version(8) + securityTypes({1}) + u32(0) + init, QString(),
            clientVersion(8) + u8(1) + u8(1) + setup, RfbClient::Running);
        row("3.8 offers 1 and 2: VNC auth",
            version(8) + securityTypes({1, 2}) + challenge + u32(0) + init,
            "secret", clientVersion(8) + u8(2) + vncResponse(challenge, "secret") + u8(1) + setup,
            RfbClient::Running);
        row("3.8 offers 2 and 1: VNC auth",
            version(8) + securityTypes({2, 1}) + challenge + u32(0) + init,
            "", clientVersion(8) + u8(2) + vncResponse(challenge, "") + u8(1) + setup,
            RfbClient::Running);
        row("3.8 unknown types around None",
            version(8) + securityTypes({16, 1, 19}) + u32(0) + init, QString(),
            clientVersion(8) + u8(1) + u8(1) + setup, RfbClient::Running);
        row("3.7 None: no SecurityResult", version(7) + securityTypes({1}) + init, QString(),
            clientVersion(7) + u8(1) + u8(1) + setup, RfbClient::Running);
        row("3.7 VNC auth", version(7) + securityTypes({2}) + challenge + u32(0) + init, "pw",
            clientVersion(7) + u8(2) + vncResponse(challenge, "pw") + u8(1) + setup,
            RfbClient::Running);
        row("3.3 None", version(3) + u32(1) + init, QString(), clientVersion(3) + u8(1) + setup,
            RfbClient::Running);
        row("3.3 VNC auth", version(3) + u32(2) + challenge + u32(0) + init, "secret",
            clientVersion(3) + vncResponse(challenge, "secret") + u8(1) + setup,
            RfbClient::Running);
        row("minor 889 answered as 3.8", "RFB 003.889\n" + securityTypes({1}) + u32(0) + init,
            QString(), clientVersion(8) + u8(1) + u8(1) + setup, RfbClient::Running);
        row("minor 5 answered as 3.3", "RFB 003.005\n" + u32(1) + init, QString(),
            clientVersion(3) + u8(1) + setup, RfbClient::Running);
        row("3.8 None waits for SecurityResult", version(8) + securityTypes({1}), QString(),
            clientVersion(8) + u8(1), RfbClient::AwaitSecurityResult);
        row("3.7 None sends ClientInit at once", version(7) + securityTypes({1}), QString(),
            clientVersion(7) + u8(1) + u8(1), RfbClient::AwaitServerInit);
        row("waits for the whole challenge", version(8) + securityTypes({2}) + challenge.left(15),
            "x", clientVersion(8) + u8(2), RfbClient::AwaitChallenge);
        row("waits for the whole name", version(3) + u32(1) + init.chopped(1), QString(),
            clientVersion(3) + u8(1), RfbClient::AwaitServerInit);
    }

    // The same script, whole, byte by byte and cut at every point, gives the same bytes, the
    // same state and the same signals.
    void handshake()
    {
        QFETCH(QByteArray, server);
        QFETCH(QString, password);
        QFETCH(QByteArray, expected);
        QFETCH(int, finalState);

        QStringList reference;
        for (int cut = -1; cut <= server.size(); ++cut) {
            Rig rig(password);
            if (cut == -1) {
                rig.feedBytewise(server);
            } else {
                rig.feed(server.left(cut));
                rig.feed(server.mid(cut));
            }
            const QString where = QStringLiteral("cut %1").arg(cut);
            QVERIFY2(rig.pipe.written() == expected,
                     qPrintable(where + ": " + rig.pipe.written().toHex(' ')));
            QCOMPARE(int(rig.state()), finalState);
            QCOMPARE(rig.ended.count(), 0);
            if (cut == -1)
                reference = rig.events;
            else
                QCOMPARE(rig.events, reference);
            if (finalState == RfbClient::Running) {
                QCOMPARE(rig.client.framebuffer().size(), QSize(1280, 800));
                QCOMPARE(rig.client.framebuffer().format(), QImage::Format_RGB32);
                QCOMPARE(rig.client.framebuffer().pixel(0, 0), emptyScreen);
                QCOMPARE(rig.client.framebuffer().pixel(1279, 799), emptyScreen);
                QVERIFY(rig.client.isLive());
                QCOMPARE(rig.client.passwordBytesForTest(), 0);
                QVERIFY(!rig.client.responseTimerForTest()->isActive());
                QVERIFY(rig.client.keepAliveTimerForTest()->isActive());
            } else {
                QVERIFY(!rig.client.isLive());
                QVERIFY(rig.client.responseTimerForTest()->isActive());
            }
        }
        if (finalState == RfbClient::Running) {
            // Set-up bytes before connected, connected before frameChanged, then the request.
            const int beforeRequest = expected.size() - 10;
            const QStringList order{QStringLiteral("status:Подключение к panel:5900…"),
                                    QStringLiteral("connected:Пульт №3@%1").arg(beforeRequest),
                                    QStringLiteral("frame@%1").arg(beforeRequest)};
            QCOMPARE(reference, order);
        }
    }

    // ---------------------------------------------------------------- failures

    void failures_data()
    {
        QTest::addColumn<QByteArray>("server");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("retryable");

        const QString protocol
            = QStringLiteral("Панель использует неподдерживаемый протокол подключения.");
        const QString size = QStringLiteral("Недопустимый размер экрана");
        const QString outside = QStringLiteral("Прямоугольник за пределами экрана");
        const QByteArray live = handshake38None(800, 600);
        auto row = [](const char *name, const QByteArray &server, const QString &reason) {
            QTest::newRow(name) << server << reason << false;
        };

        row("minor 2", "RFB 003.002\n", protocol);
        row("major 4", "RFB 004.001\n", protocol);
        row("no line feed", "RFB 003.008 ", protocol);
        row("letters in the number", "RFB 003.0x8\n", protocol);
        row("sign in the number", "RFB 003.+08\n", protocol);
        row("not RFB", "HTTP/1.1 200", protocol);
        row("3.3 refusal with reason", version(3) + u32(0) + failureReason("Too many clients"),
            "Too many clients");
        row("3.3 unknown type", version(3) + u32(5), "Неподдерживаемая авторизация сервера");
        row("3.3 type 16", version(3) + u32(16), "Неподдерживаемая авторизация сервера");
        row("empty type list with UTF-8 reason",
            version(8) + securityTypes({}) + failureReason("Доступ запрещён"), "Доступ запрещён");
        row("reason of 65536 bytes is read",
            version(8) + securityTypes({}) + failureReason(QByteArray(65536, 'r')),
            QString(65536, QLatin1Char('r')));
        row("reason longer than 65536", version(8) + securityTypes({}) + u32(65537),
            "Некорректный ответ сервера");
        row("neither None nor VNC auth", version(8) + securityTypes({16, 18, 19}),
            "Способ защиты соединения на этой панели не поддерживается.");
        row("3.8 None rejected", version(8) + securityTypes({1}) + u32(1),
            rejectedText());
        row("VNC auth rejected", version(8) + securityTypes({2}) + QByteArray(16, 'c') + u32(2),
            rejectedText());
        row("3.3 VNC auth rejected", version(3) + u32(2) + QByteArray(16, 'c') + u32(1),
            rejectedText());
        row("name longer than 65536", version(3) + u32(1) + QByteArray(20, 0) + u32(65537),
            "Слишком длинное имя сервера");
        row("screen 8192 x 2049", version(3) + u32(1) + serverInit(8192, 2049, "x"), size);
        row("screen 0 x 600", version(3) + u32(1) + serverInit(0, 600, "x"), size);
        row("screen 800 x 0", version(3) + u32(1) + serverInit(800, 0, "x"), size);
        row("screen 8193 x 1", version(3) + u32(1) + serverInit(8193, 1, "x"), size);
        row("message type 4", live + u8(4), "Неизвестное сообщение панели: 4");
        row("message type 255", live + u8(255), "Неизвестное сообщение панели: 255");
        row("cut text over 1 MiB", live + u8(3) + QByteArray(3, 0) + u32(1048577),
            "Слишком большой буфер обмена сервера");
        row("cut text of 4 GiB", live + u8(3) + QByteArray(3, 0) + u32(0xFFFFFFFF),
            "Слишком большой буфер обмена сервера");
        row("x 700 + width 101", live + update(1) + rectHeader(700, 0, 101, 1, 0), outside);
        row("y 599 + height 2", live + update(1) + rectHeader(0, 599, 1, 2, 0), outside);
        row("x 65535 + width 65535", live + update(1) + rectHeader(65535, 0, 65535, 1, 0), outside);
        row("bounds before encoding", live + update(1) + rectHeader(0, 0, 801, 1, 7), outside);
        row("CopyRect outside", live + update(1) + rectHeader(700, 0, 101, 10, 1), outside);
        row("CopyRect source outside", live + update(1) + copyRect(0, 0, 100, 100, 701, 0),
            "Некорректный CopyRect");
        row("CopyRect source below", live + update(1) + copyRect(0, 0, 100, 100, 0, 501),
            "Некорректный CopyRect");
        row("encoding 5", live + update(1) + rectHeader(0, 0, 1, 1, 5),
            "Сервер прислал незапрошенное кодирование 5");
        row("negative encoding", live + update(1) + rectHeader(0, 0, 1, 1, -239),
            "Сервер прислал незапрошенное кодирование -239");
        row("after applied rectangles",
            live + update(3) + solidRaw(0, 0, 2, 2, 0x00FF00) + rectHeader(0, 0, 1, 1, 16),
            "Сервер прислал незапрошенное кодирование 16");
        row("DesktopSize 0 x 768", live + update(1) + desktopSize(0, 768), size);
        row("DesktopSize 8192 x 2049", live + update(1) + desktopSize(8192, 2049), size);
    }

    // Every failure ends the attempt once, with its text and flag, and leaves nothing behind;
    // delivered whole or byte by byte.
    void failures()
    {
        QFETCH(QByteArray, server);
        QFETCH(QString, reason);
        QFETCH(bool, retryable);

        for (bool bytewise : {false, true}) {
            Rig rig(QStringLiteral("secret"));
            if (bytewise && server.size() < 4096)
                rig.feedBytewise(server);
            else
                rig.feed(server);
            QCOMPARE(rig.ended.count(), 1);
            QCOMPARE(rig.ended.at(0).at(0).toString(), reason);
            QCOMPARE(rig.client.retryable(), retryable);
            QCOMPARE(rig.state(), RfbClient::Idle);
            QVERIFY(!rig.client.isLive());
            QCOMPARE(rig.client.bufferedBytesForTest(), 0);
            QCOMPARE(rig.client.passwordBytesForTest(), 0);
            QVERIFY(!rig.client.responseTimerForTest()->isActive());
            QVERIFY(!rig.client.updateTimerForTest()->isActive());
            QVERIFY(!rig.client.keepAliveTimerForTest()->isActive());

            // Nothing more from this attempt: more bytes, timers, a closing stream.
            const qsizetype written = rig.pipe.written().size();
            rig.feed(update(0) + bell());
            fire(rig.client.responseTimerForTest());
            fire(rig.client.keepAliveTimerForTest());
            rig.client.sendKey(0x61, true);
            rig.client.sendPointer(1, 1, 1);
            rig.client.requestFullUpdate();
            rig.pipe.closeFromServer();
            QCOMPARE(rig.ended.count(), 1);
            QCOMPARE(rig.pipe.written().size(), written);
        }
    }

    void transportLossIsRetryable_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("during the handshake") << version(8);
        QTest::newRow("running") << handshake38None(640, 480);
        QTest::newRow("inside an update")
            << handshake38None(640, 480) + update(2) + solidRaw(0, 0, 1, 1, 0);
    }

    void transportLossIsRetryable()
    {
        QFETCH(QByteArray, before);
        {
            Rig rig;
            rig.feed(before);
            rig.pipe.closeFromServer();
            QCOMPARE(rig.ended.count(), 1);
            QCOMPARE(rig.ended.at(0).at(0).toString(), QStringLiteral("Поток данных закрыт"));
            QVERIFY(rig.client.retryable());
        }
        {
            Rig rig;
            rig.feed(before);
            fire(rig.client.responseTimerForTest());
            QCOMPARE(rig.ended.count(), 1);
            QCOMPARE(rig.ended.at(0).at(0).toString(),
                     QStringLiteral("Сервер не завершил ответ за 12 секунд"));
            QVERIFY(rig.client.retryable());
        }
    }

    // So is updateArriving(): a slow update's end says so, the next end does not; and the bytes
    // of an update that came before its header say nothing of it.
    void retryableFlagIsPerAttempt()
    {
        Rig rig;
        rig.live(4, 4);
        rig.feed(update(1) + rectHeader(0, 0, 4, 4, 0));
        rig.feed(QByteArray(64, 0));
        rig.feed(update(1) + rectHeader(0, 0, 4, 4, 0));
        QVERIFY(!rig.client.updateArriving());
        rig.feed(QByteArray(16, 0));
        fire(rig.client.responseTimerForTest());
        QVERIFY(rig.client.retryable() && rig.client.updateArriving());
        rig.client.connectToPanel(QStringLiteral("panel"), 5900, QString());
        rig.feed("RFB 003.002\n");
        QVERIFY(!rig.client.retryable() && !rig.client.updateArriving());
        rig.client.connectToPanel(QStringLiteral("panel"), 5900, QString());
        rig.pipe.closeFromServer();
        QVERIFY(rig.client.retryable());
        QCOMPARE(rig.ended.count(), 3);
    }

    void disconnectIsSilent()
    {
        Rig rig;
        rig.live();
        rig.feed(update(1) + rectHeader(0, 0, 4, 4, 0)); // a rectangle half received
        rig.client.disconnectFromPanel();
        QCOMPARE(rig.state(), RfbClient::Idle);
        QCOMPARE(rig.client.bufferedBytesForTest(), 0);
        QVERIFY(!rig.client.keepAliveTimerForTest()->isActive());
        QVERIFY(!rig.client.responseTimerForTest()->isActive());
        rig.pipe.closeFromServer();
        fire(rig.client.responseTimerForTest());
        QCOMPARE(rig.ended.count(), 0);
        // The last picture stays for the view.
        QCOMPARE(rig.client.framebuffer().size(), QSize(800, 480));
    }

    // A receiver of ended may start the next attempt at once.
    // Receivers of connected and frameChanged may stop the client; it must then stay silent and
    // write nothing more for the attempt.
    void receiverStopsTheClient_data()
    {
        QTest::addColumn<bool>("onConnected");
        QTest::newRow("in connected") << true;
        QTest::newRow("in frameChanged") << false;
    }

    void receiverStopsTheClient()
    {
        QFETCH(bool, onConnected);
        Rig rig;
        auto stop = [&rig]() { rig.client.disconnectFromPanel(); };
        if (onConnected)
            QObject::connect(&rig.client, &RfbClient::connected, &rig.client, stop);
        else
            QObject::connect(&rig.client, &RfbClient::frameChanged, &rig.client, stop);
        rig.feed(version(8) + securityTypes({1}) + u32(0) + serverInit(64, 64, "p") + update(0)
                 + bell());
        QCOMPARE(rig.state(), RfbClient::Idle);
        // The set-up messages went out; the first update request did not.
        QCOMPARE(rig.pipe.written(),
                 clientVersion(8) + u8(1) + u8(1) + setPixelFormat() + setEncodings());
        QCOMPARE(rig.frames.count(), onConnected ? 0 : 1);
        QCOMPARE(rig.ended.count(), 0);
        QVERIFY(!rig.client.keepAliveTimerForTest()->isActive());
        QVERIFY(!rig.client.updateTimerForTest()->isActive());
    }

    // A transport that vanishes under a live session ends it as a closed stream.
    void transportDestroyed()
    {
        auto pipe = std::make_unique<PipeTransport>();
        RfbClient client(nullptr, pipe.get());
        QSignalSpy ended(&client, &RfbClient::ended);
        client.connectToPanel(QStringLiteral("panel"), 5900, QString());
        pipe->feed(handshake38None(32, 32));
        QVERIFY(client.isLive());
        pipe.reset();
        QCOMPARE(ended.count(), 1);
        QVERIFY(client.retryable());
        client.sendKey(0x61, true); // nowhere to write: nothing happens
        client.connectToPanel(QStringLiteral("panel"), 5900, QString());
        fire(client.responseTimerForTest());
        QCOMPARE(ended.count(), 2);
    }

    void reconnectFromEnded_data()
    {
        QTest::addColumn<bool>("compression");
        QTest::addColumn<QByteArray>("first"); // what ends the first attempt, and more after it
        QTest::addColumn<bool>("decoderFailure");
        const QByteArray px("\x10\x20\x30", 3);
        const QByteArray session
            = handshake38None(320, 200) + update(1) + zrleRect(0, 0, 64, 64, u8(1) + px);
        QTest::newRow("refused handshake")
            << false << version(8) + securityTypes({ 1 }) + u32(7) + "junk after the end" << false;
        QTest::newRow("unknown message after a ZRLE update") << true << session + u8(4) << false;
        // Refused in the middle of a tile, with inflated bytes left over.
        QTest::newRow("ZRLE decoder refusal") << true
                                              << handshake38None(320, 200) + update(1)
                + zrleRect(0, 0, 4, 1, u8(130) + px + px + u8(0x02) + u8(0x80) + u8(2)) + update(1)
                + solidRaw(0, 0, 1, 1, 0x00FF00)
                                              << true;
        // 600 whole-screen copies overdraw the work budget; the second attempt starts full.
        QByteArray storm = handshake38None(320, 200) + update(600);
        for (int i = 0; i < 600; ++i)
            storm += copyRect(0, 0, 320, 200, 0, 0);
        QTest::newRow("work budget overdrawn") << true << storm << false;
    }

    // A new attempt started from the ended() slot begins afresh: a new handshake and, with
    // compression, a new zlib stream.
    void reconnectFromEnded()
    {
        QFETCH(bool, compression);
        QFETCH(QByteArray, first);
        QFETCH(bool, decoderFailure);
        Rig rig(QStringLiteral("secret"), compression);
        qint64 fakeNow = 1000;
        rig.client.setClockForTest([&fakeNow]() { return fakeNow; });
        bool again = true;
        bool refused = !decoderFailure;
        QObject::connect(&rig.client, &RfbClient::ended, &rig.client, [&rig, &again, &refused]() {
            if (again) {
                again = false;
                refused = rig.client.decoderFailed();
                rig.client.connectToPanel(QStringLiteral("panel"), 5900, QString());
            }
        });
        rig.feed(first);
        // A panel that goes away while we are not reading it.
        if (rig.client.throttledForTest()) {
            rig.pipe.closeFromServer();
            rig.pipe.reopen();
        }
        QCOMPARE(rig.ended.count(), 1);
        QCOMPARE(refused, decoderFailure);
        QCOMPARE(rig.state(), RfbClient::AwaitVersion);
        QVERIFY(!rig.client.decoderFailed());
        rig.pipe.takeWritten();
        rig.frames.clear();
        rig.feed(handshake38None(320, 200));
        QCOMPARE(rig.state(), RfbClient::Running);
        if (!compression) {
            QCOMPARE(rig.pipe.written(), clientHandshake38None(320, 200));
            return;
        }
        QCOMPARE(rig.pipe.written(),
            clientVersion(8) + u8(1) + u8(1) + setPixelFormat() + setCompressedEncodings()
                + updateRequest(false, 320, 200));
        rig.feed(
            update(1) + zrleRect(2, 3, 2, 1, u8(0) + QByteArray("\x10\x20\x30\x40\x50\x60", 6)));
        QCOMPARE(rig.ended.count(), 1);
        QCOMPARE(rig.frames.count(), 2);
        const QImage &fb = rig.client.framebuffer();
        const auto *row = reinterpret_cast<const quint32 *>(fb.constScanLine(3));
        QCOMPARE(row[1], quint32(emptyScreen));
        QCOMPARE(row[2], 0xFF302010u);
        QCOMPARE(row[3], 0xFF605040u);
        QCOMPARE(row[4], quint32(emptyScreen));
        // A fifth of the budget's capacity, in the same fake instant: no pause.
        QByteArray copies = update(100);
        for (int i = 0; i < 100; ++i)
            copies += copyRect(0, 0, 320, 200, 0, 0);
        rig.feed(copies);
        QVERIFY(!rig.client.throttledForTest());
        QCOMPARE(rig.frames.count(), 3);
    }

    void responseTimerBoundsHandshake()
    {
        Rig rig;
        QVERIFY(rig.client.responseTimerForTest()->isActive());
        QCOMPARE(rig.client.responseTimerForTest()->interval(), 12000);
        QVERIFY(rig.client.responseTimerForTest()->isSingleShot());
        rig.feed(version(8) + securityTypes({1}));
        QVERIFY(rig.client.responseTimerForTest()->isActive());
        fire(rig.client.responseTimerForTest());
        QCOMPARE(rig.ended.count(), 1);
        QVERIFY(rig.client.retryable());
    }

    // Bytes that arrive before the attempt stay in the device until it starts.
    void bytesBeforeConnectWait()
    {
        PipeTransport pipe;
        RfbClient client(nullptr, &pipe);
        pipe.open(QIODevice::ReadWrite);
        pipe.feed(handshake38None(100, 100));
        QCOMPARE(pipe.written(), QByteArray());
        QCOMPARE(pipe.unreadBytes(), handshake38None(100, 100).size());
        client.connectToPanel(QStringLiteral("panel"), 5900, QString());
        QVERIFY(client.parsingPendingForTest());
        while (client.parsingPendingForTest())
            QCoreApplication::sendPostedEvents();
        QCOMPARE(client.stateForTest(), RfbClient::Running);
        QCOMPARE(pipe.written(), clientHandshake38None(100, 100));
    }

    void passwordIsWiped_data()
    {
        QTest::addColumn<QByteArray>("result");
        QTest::newRow("accepted") << u32(0);
        QTest::newRow("rejected") << u32(1);
    }

    void passwordIsWiped()
    {
        QFETCH(QByteArray, result);
        Rig rig(QStringLiteral("longpassword"));
        QCOMPARE(rig.client.passwordBytesForTest(), 8);
        rig.feed(version(8) + securityTypes({2}) + QByteArray(16, 'c'));
        QCOMPARE(rig.client.passwordBytesForTest(), 0);
        rig.feed(result);
        QCOMPARE(rig.client.passwordBytesForTest(), 0);

        Rig silent(QStringLiteral("pw"));
        silent.client.disconnectFromPanel();
        QCOMPARE(silent.client.passwordBytesForTest(), 0);
    }

    // Passwords that must produce the same VNC response.
    void equivalentPasswords_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("only 8 characters count") << "abcdefgh" << "abcdefgh1234";
        QTest::newRow("top bit ignored") << QStringLiteral("pass") << QStringLiteral("p\u00e1ss");
        QTest::newRow("padding with zeros") << QString() << QString(QChar(0));
        QTest::newRow("outside Latin-1 becomes ?")
            << QStringLiteral("a\u044f") << QStringLiteral("a?");
    }

    void equivalentPasswords()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        auto responseFor = [](const QString &password) {
            Rig rig(password);
            rig.feed(version(8) + securityTypes({2}));
            rig.pipe.takeWritten();
            rig.feed(QByteArray::fromHex("00112233445566778899aabbccddeeff"));
            return rig.pipe.takeWritten();
        };
        const QByteArray response = responseFor(first);
        QCOMPARE(response.size(), 16);
        QCOMPARE(responseFor(second).toHex(), response.toHex());
        QVERIFY(responseFor(first + QLatin1Char('x')) != response || first.size() >= 8);
    }

    void emptyPasswordUsesZeroKey()
    {
        Rig rig{QString()};
        rig.feed(version(8) + securityTypes({2}));
        rig.pipe.takeWritten();
        rig.feed(QByteArray::fromHex("DEADBEEFCAFEBABE0011223344556677"));
        // Standard DES under the all-zero key, computed independently.
        QCOMPARE(rig.pipe.written().toHex().toUpper(),
                 QByteArray("0F65BC91F0ADCEFA74F4AE777AA431E8"));
    }

    // ---------------------------------------------------------------- framebuffer updates

    void rawPixelBytes()
    {
        Rig rig;
        rig.live();
        rig.feed(update(1) + rectHeader(5, 6, 1, 1, 0) + QByteArray::fromHex("10203040"));
        QCOMPARE(rig.client.framebuffer().pixel(5, 6), 0xFF302010u);
        QCOMPARE(rig.client.framebuffer().pixel(4, 6), emptyScreen);
        QCOMPARE(rig.client.framebuffer().pixel(6, 6), emptyScreen);
        QCOMPARE(rig.client.framebuffer().pixel(5, 5), emptyScreen);
        QCOMPARE(rig.frames.count(), 1);
    }

    void rawRectangles_data()
    {
        QTest::addColumn<QRect>("rect");
        QTest::newRow("whole screen") << QRect(0, 0, 800, 480);
        QTest::newRow("bottom right corner") << QRect(700, 380, 100, 100);
        QTest::newRow("one column") << QRect(799, 0, 1, 480);
        QTest::newRow("one row") << QRect(0, 479, 800, 1);
        QTest::newRow("odd size") << QRect(13, 17, 31, 7);
    }

    void rawRectangles()
    {
        QFETCH(QRect, rect);
        Rig rig;
        rig.live();
        rig.feed(update(1)
                      + patternRaw(quint16(rect.x()), quint16(rect.y()), quint16(rect.width()),
                                   quint16(rect.height())));
        const QImage &fb = rig.client.framebuffer();
        for (int y = 0; y < fb.height(); ++y)
            for (int x = 0; x < fb.width(); ++x) {
                const QRgb want = rect.contains(x, y) ? patternPixel(x, y) : emptyScreen;
                if (fb.pixel(x, y) != want)
                    QFAIL(qPrintable(QStringLiteral("pixel %1,%2: %3 instead of %4")
                                         .arg(x)
                                         .arg(y)
                                         .arg(fb.pixel(x, y), 8, 16)
                                         .arg(want, 8, 16)));
            }
    }

    void emptyRawConsumesOnlyHeader_data()
    {
        QTest::addColumn<QByteArray>("rect");
        QTest::newRow("width 0") << rectHeader(10, 10, 0, 50, 0);
        QTest::newRow("height 0") << rectHeader(10, 10, 50, 0, 0);
        QTest::newRow("width 0 at the right edge") << rectHeader(800, 0, 0, 1, 0);
        QTest::newRow("empty CopyRect") << copyRect(0, 0, 0, 0, 800, 480);
    }

    void emptyRawConsumesOnlyHeader()
    {
        QFETCH(QByteArray, rect);
        Rig rig;
        rig.live();
        const QImage before = rig.client.framebuffer().copy();
        rig.feed(update(2) + rect + solidRaw(0, 0, 1, 1, 0x123456));
        QCOMPARE(rig.ended.count(), 0);
        QCOMPARE(rig.frames.count(), 1);
        QCOMPARE(rig.client.framebuffer().pixel(0, 0), 0xFF123456u);
        QImage expected = before;
        expected.setPixel(0, 0, 0xFF123456u);
        QCOMPARE(rig.client.framebuffer(), expected);
    }

    void copyRectMoves_data()
    {
        QTest::addColumn<QRect>("source");
        QTest::addColumn<QPoint>("target");
        QTest::newRow("down right, overlapping") << QRect(0, 0, 100, 100) << QPoint(10, 10);
        QTest::newRow("up left, overlapping") << QRect(10, 10, 100, 100) << QPoint(0, 0);
        QTest::newRow("right on the same rows") << QRect(0, 20, 150, 40) << QPoint(7, 20);
        QTest::newRow("left on the same rows") << QRect(7, 20, 150, 40) << QPoint(0, 20);
        QTest::newRow("down, same columns") << QRect(30, 0, 50, 120) << QPoint(30, 1);
        QTest::newRow("disjoint") << QRect(0, 0, 64, 64) << QPoint(700, 400);
        QTest::newRow("onto itself") << QRect(5, 5, 40, 40) << QPoint(5, 5);
    }

    void copyRectMoves()
    {
        QFETCH(QRect, source);
        QFETCH(QPoint, target);
        Rig rig;
        rig.live();
        rig.feed(update(1) + patternRaw(0, 0, 800, 480));
        QImage expected = rig.client.framebuffer().copy();
        const QImage moved = expected.copy(source);
        for (int y = 0; y < moved.height(); ++y)
            for (int x = 0; x < moved.width(); ++x)
                expected.setPixel(target.x() + x, target.y() + y, moved.pixel(x, y));

        rig.feed(update(1)
                      + copyRect(quint16(target.x()), quint16(target.y()),
                                 quint16(source.width()), quint16(source.height()),
                                 quint16(source.x()), quint16(source.y())));
        QCOMPARE(rig.ended.count(), 0);
        QCOMPARE(rig.frames.count(), 2);
        QVERIFY(rig.client.framebuffer() == expected);
    }

    void rectangleAtTheEdgeIsAccepted()
    {
        Rig rig;
        rig.live(800, 600);
        rig.feed(update(1) + solidRaw(700, 500, 100, 100, 0xABCDEF));
        QCOMPARE(rig.ended.count(), 0);
        QCOMPARE(rig.client.framebuffer().pixel(799, 599), 0xFFABCDEFu);
    }

    void largestScreenIsAccepted()
    {
        Rig rig;
        rig.feed(handshake38None(8192, 2048));
        QCOMPARE(rig.state(), RfbClient::Running);
        QCOMPARE(rig.client.framebuffer().size(), QSize(8192, 2048));
    }

    void desktopSizeReplacesScreen()
    {
        Rig rig;
        rig.live(800, 480);
        rig.feed(update(1) + solidRaw(0, 0, 800, 480, 0x00FF00));
        fire(rig.client.updateTimerForTest());
        rig.pipe.takeWritten();

        rig.feed(update(3) + desktopSize(1024, 768));
        QCOMPARE(rig.client.framebuffer().size(), QSize(1024, 768));
        QCOMPARE(rig.client.framebuffer().pixel(0, 0), emptyScreen);
        QCOMPARE(rig.client.framebuffer().pixel(1023, 767), emptyScreen);
        QCOMPARE(rig.frames.count(), 1); // not until the update is complete
        // Later rectangles of the same update land in the new screen.
        rig.feed(solidRaw(1000, 700, 24, 68, 0x0000FF) + copyRect(0, 0, 24, 68, 1000, 700));
        QCOMPARE(rig.frames.count(), 2);
        QCOMPARE(rig.client.framebuffer().pixel(0, 0), 0xFF0000FFu);
        QCOMPARE(rig.client.framebuffer().pixel(1023, 767), 0xFF0000FFu);
        QCOMPARE(rig.client.framebuffer().pixel(500, 500), emptyScreen);

        QCOMPARE(rig.pipe.written(), QByteArray());
        fire(rig.client.updateTimerForTest());
        QCOMPARE(rig.pipe.takeWritten(), updateRequest(false, 1024, 768));
        rig.feed(update(0));
        fire(rig.client.updateTimerForTest());
        QCOMPARE(rig.pipe.takeWritten(), updateRequest(true, 1024, 768));
    }

    void changedRegion_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QRegion>("expected");

        QRegion scattered;
        QByteArray many = update(100);
        for (int i = 0; i < 100; ++i) {
            const QRect r((i * 37) % 790, (i * 53) % 470, 1 + i % 9, 1 + i % 7);
            many += solidRaw(
                quint16(r.x()), quint16(r.y()), quint16(r.width()), quint16(r.height()), QRgb(i));
            scattered += r;
        }
        const QRegion two = QRegion(10, 10, 20, 20) + QRect(700, 400, 100, 80);
        QTest::newRow("ServerInit: the whole screen") << QByteArray() << QRegion(0, 0, 800, 480);
        QTest::newRow("two rectangles")
            << update(2) + solidRaw(10, 10, 20, 20, 1) + solidRaw(700, 400, 100, 80, 2) << two;
        QTest::newRow("only the last update") << update(1) + solidRaw(0, 0, 5, 5, 1) + update(0)
                + update(1) + copyRect(200, 100, 30, 30, 0, 0)
                                              << QRegion(200, 100, 30, 30);
        QTest::newRow("empty rectangles add nothing") << update(3) + rectHeader(10, 10, 0, 50, 0)
                + copyRect(0, 0, 0, 0, 9, 9)
                + solidRaw(1, 1, 2, 2, 1) << QRegion(1, 1, 2, 2);
        QTest::newRow("DesktopSize: the whole new screen") << update(3) + solidRaw(0, 0, 5, 5, 1)
                + desktopSize(1024, 768)
                + solidRaw(1000, 700, 24, 68, 2) << QRegion(0, 0, 1024, 768);
        QTest::newRow("100 scattered rectangles") << many << scattered;
        // Ten pixels, kept as eight rectangles: the second touches the first and joins it; the
        // tenth, with all eight taken, joins the one it grows least.
        const QList<QPoint> pixels { { 0, 0 }, { 1, 1 }, { 400, 0 }, { 799, 0 }, { 0, 240 },
            { 799, 240 }, { 0, 479 }, { 400, 479 }, { 799, 479 }, { 3, 3 } };
        QByteArray ten = update(10);
        QRegion eight(0, 0, 4, 4);
        for (const QPoint &p : pixels) {
            ten += solidRaw(quint16(p.x()), quint16(p.y()), 1, 1, 7);
            if (p.x() > 3 || p.y() > 3)
                eight += QRect(p, QSize(1, 1));
        }
        QTest::newRow("ten far-apart pixels") << ten << eight;
        // ZRLE: two solid tiles. Hextile: a tile with its background (a pixel of four bytes),
        // then three that keep it.
        const QByteArray px("\x10\x20\x30", 3);
        QTest::newRow("ZRLE and Hextile")
            << update(2) + zrleRect(10, 10, 70, 20, u8(1) + px + u8(1) + px)
                + rectHeader(600, 400, 20, 18, 5) + u8(2) + px + u8(0) + QByteArray(3, 0)
            << QRegion(10, 10, 70, 20) + QRect(600, 400, 20, 18);
    }

    // The region an update reports covers every rectangle it applied and reaches no further than
    // their bounds; where the collector's merging is known, exactly.
    void changedRegion()
    {
        QFETCH(QByteArray, script);
        QFETCH(QRegion, expected);
        Rig rig(QStringLiteral("secret"), true); // Raw and CopyRect come either way
        rig.live(800, 480);
        rig.feed(script);
        QCOMPARE(rig.ended.count(), 0);
        const QRegion reported = rig.client.changedRegion();
        QVERIFY((expected - reported).isEmpty());
        QCOMPARE(reported.boundingRect(), expected.boundingRect());
        if (expected.rectCount() <= 16)
            QCOMPARE(reported, expected);
    }

    // Raw pixels reach the screen as they arrive; the one pixel cut short may mix old and new
    // bytes, but every pixel stays opaque. Whole-width rectangles take another path.
    void rawPixelsArriveInPieces_data()
    {
        QTest::addColumn<QRect>("rect");
        QTest::addColumn<int>("cut"); // pixel bytes in the first piece
        // The first 64 KiB pass through the input buffer; the rest is read from the device.
        QTest::newRow("part of rows, buffered") << QRect(3, 4, 50, 10) << 4 * 75 + 2;
        QTest::newRow("part of rows, from the device") << QRect(3, 4, 200, 100) << 4 * 17000 + 1;
        QTest::newRow("whole width, from the device")
            << QRect(0, 2, 800, 30) << 4 * 800 * 25 + 4 * 17 + 3;
    }

    void rawPixelsArriveInPieces()
    {
        QFETCH(QRect, rect);
        QFETCH(int, cut);
        Rig rig;
        rig.live(800, 480);
        const QByteArray script = update(1)
            + patternRaw(quint16(rect.x()), quint16(rect.y()), quint16(rect.width()),
                quint16(rect.height()));
        rig.feed(script.left(16 + cut));
        const QImage &fb = rig.client.framebuffer();
        const int done = cut / 4;
        for (int i = 0; i < rect.width() * rect.height(); ++i) {
            const int x = rect.x() + i % rect.width(), y = rect.y() + i / rect.width();
            const QRgb stored = reinterpret_cast<const QRgb *>(fb.scanLine(y))[x];
            if (i == done)
                QCOMPARE(qAlpha(stored), 255);
            else
                QCOMPARE(stored, i < done ? patternPixel(x, y) : emptyScreen);
        }
        QCOMPARE(rig.frames.count(), 0);
        rig.feed(script.mid(16 + cut));
        QCOMPARE(rig.frames.count(), 1);
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x)
                QCOMPARE(reinterpret_cast<const QRgb *>(fb.scanLine(y))[x], patternPixel(x, y));
    }

    void skippedMessages_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("bell") << bell();
        QTest::newRow("several bells") << bell() + bell() + bell();
        QTest::newRow("colour map of 0") << u8(1) + u8(0) + u16(0) + u16(0);
        QTest::newRow("colour map of 3") << u8(1) + u8(0) + u16(5) + u16(3) + QByteArray(18, 'm');
        QTest::newRow("empty cut text") << cutText(0);
        QTest::newRow("cut text of 1 MiB") << cutText(1048576);
        QTest::newRow("empty update") << update(0);
    }

    // Skipped messages between two updates leave the next update intact, whole or in bytes.
    void skippedMessages()
    {
        QFETCH(QByteArray, message);
        for (bool bytewise : {false, true}) {
            Rig rig;
            rig.live();
            const QByteArray script = update(1) + solidRaw(0, 0, 2, 2, 0x111111) + message
                                      + update(1) + solidRaw(1, 1, 2, 2, 0x222222);
            if (bytewise && script.size() < 10000)
                rig.feedBytewise(script);
            else
                rig.feed(script);
            QCOMPARE(rig.ended.count(), 0);
            QCOMPARE(rig.frames.count(), 2);
            QCOMPARE(rig.state(), RfbClient::Running);
            QCOMPARE(rig.client.bufferedBytesForTest(), 0);
            QCOMPARE(rig.client.framebuffer().pixel(0, 0), 0xFF111111u);
            QCOMPARE(rig.client.framebuffer().pixel(2, 2), 0xFF222222u);
        }
    }

    // A large update spread over several parse slices still arrives whole and is announced once.
    void largeUpdateAcrossSlices()
    {
        Rig rig;
        rig.live(2048, 1024);
        QByteArray script = update(16);
        for (int strip = 0; strip < 16; ++strip)
            script += patternRaw(0, quint16(strip * 64), 2048, 64);
        script += update(1) + solidRaw(0, 0, 1, 1, 0x010203);
        rig.feed(script);
        QCOMPARE(rig.frames.count(), 2);
        QCOMPARE(rig.ended.count(), 0);
        const QImage &fb = rig.client.framebuffer();
        QCOMPARE(fb.pixel(0, 0), 0xFF010203u);
        for (int y : {1, 63, 64, 511, 512, 1023})
            for (int x : {0, 1, 1000, 2047})
                QCOMPARE(fb.pixel(x, y), patternPixel(x, y));
        QCOMPARE(rig.client.bufferedBytesForTest(), 0);
        QVERIFY(!rig.client.responseTimerForTest()->isActive());
    }

    void inputBufferLimit_data()
    {
        QTest::addColumn<qint64>("extra");
        QTest::newRow("exactly the limit") << qint64(0);
        QTest::newRow("one byte more") << qint64(1);
    }

    void inputBufferLimit()
    {
        QFETCH(qint64, extra);
        Rig rig;
        rig.live(4096, 4096);
        // A full-screen Raw update followed by bells, all waiting in the device at once.
        QByteArray burst = update(1) + solidRaw(0, 0, 4096, 4096, 0x445566);
        burst += QByteArray(bufferLimit + extra - burst.size(), char(2));
        rig.feed(burst);
        burst = QByteArray();
        if (extra > 0) {
            QCOMPARE(rig.ended.count(), 1);
            QCOMPARE(rig.ended.at(0).at(0).toString(),
                     QStringLiteral("Слишком большой ответ сервера"));
            QVERIFY(!rig.client.retryable());
            QCOMPARE(rig.client.framebuffer().pixel(0, 0), emptyScreen); // nothing was read
        } else {
            QCOMPARE(rig.pipe.unreadBytes(), 0);
            QCOMPARE(rig.client.bufferedBytesForTest(), 0);
            QCOMPARE(rig.ended.count(), 0);
            QCOMPARE(rig.client.framebuffer().pixel(4095, 4095), 0xFF445566u);
        }
    }

    // ---------------------------------------------------------------- client messages, pacing

    void senders_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<quint32>("a");
        QTest::addColumn<quint32>("b");
        QTest::addColumn<quint32>("c");
        QTest::addColumn<QByteArray>("bytes");
        auto row = [](const char *name, int kind, quint32 a, quint32 b, quint32 c,
                      const char *hex) {
            QTest::newRow(name) << kind << a << b << c << QByteArray::fromHex(hex);
        };
        row("return pressed", 0, 0xFF0D, 1, 0, "040100000000FF0D");
        row("return released", 0, 0xFF0D, 0, 0, "040000000000FF0D");
        row("unicode keysym", 0, 0x0100044F, 1, 0, "040100000100044F");
        row("left button at 300,200", 1, 300, 200, 1, "0501012C00C8");
        row("wheel down at the corner", 1, 1279, 799, 16, "051004FF031F");
        row("all buttons, origin", 1, 0, 0, 31, "051F00000000");
        row("full request", 2, 0, 0, 0, "03000000000005000320");
    }

    void senders()
    {
        QFETCH(int, kind);
        QFETCH(quint32, a);
        QFETCH(quint32, b);
        QFETCH(quint32, c);
        QFETCH(QByteArray, bytes);
        auto send = [&](RfbClient &client) {
            if (kind == 0)
                client.sendKey(a, b != 0);
            else if (kind == 1)
                client.sendPointer(quint16(a), quint16(b), quint8(c));
            else
                client.requestFullUpdate();
        };

        Rig rig;
        send(rig.client); // before the session: dropped
        rig.feed(version(8) + securityTypes({1}));
        rig.pipe.takeWritten();
        send(rig.client);
        QCOMPARE(rig.pipe.written(), QByteArray());
        rig.feed(u32(0) + serverInit(1280, 800, "p"));
        rig.pipe.takeWritten();
        send(rig.client);
        QCOMPARE(rig.pipe.takeWritten(), bytes);
        rig.feed(update(2) + solidRaw(0, 0, 1, 1, 0)); // in the middle of an update
        if (kind != 2) {
            send(rig.client);
            QCOMPARE(rig.pipe.takeWritten(), bytes);
        }
        rig.pipe.closeFromServer();
        send(rig.client); // after the end: dropped
        QCOMPARE(rig.pipe.written(), QByteArray());
    }

    void pacing()
    {
        Rig rig;
        rig.live(1280, 800);
        QTimer *updateTimer = rig.client.updateTimerForTest();
        QCOMPARE(updateTimer->interval(), 35);
        QVERIFY(updateTimer->isSingleShot());
        QVERIFY(!updateTimer->isActive());

        // An empty update: no frameChanged, next request 35 ms later.
        rig.feed(update(0));
        QCOMPARE(rig.state(), RfbClient::Running);
        QCOMPARE(rig.frames.count(), 0);
        QVERIFY(updateTimer->isActive());
        fire(updateTimer);
        QCOMPARE(rig.pipe.takeWritten(), QByteArray::fromHex("03010000000005000320"));

        // A full request on demand, then incremental ones again.
        rig.client.requestFullUpdate();
        QCOMPARE(rig.pipe.takeWritten(), updateRequest(false, 1280, 800));
        rig.feed(update(1) + solidRaw(0, 0, 1, 1, 0));
        QVERIFY(updateTimer->isActive());
        fire(updateTimer);
        QCOMPARE(rig.pipe.takeWritten(), updateRequest(true, 1280, 800));

        // On demand inside an update: nothing now, a full request after the update.
        rig.feed(update(2) + solidRaw(0, 0, 1, 1, 0));
        rig.client.requestFullUpdate();
        QCOMPARE(rig.pipe.written(), QByteArray());
        QVERIFY(!updateTimer->isActive());
        fire(updateTimer); // a stray timeout while rectangles are read does nothing
        QCOMPARE(rig.pipe.written(), QByteArray());
        rig.feed(solidRaw(1, 1, 1, 1, 0));
        QVERIFY(updateTimer->isActive());
        QCOMPARE(rig.pipe.written(), QByteArray());
        fire(updateTimer);
        QCOMPARE(rig.pipe.takeWritten(), updateRequest(false, 1280, 800));
        rig.feed(update(0));
        fire(updateTimer);
        QCOMPARE(rig.pipe.takeWritten(), updateRequest(true, 1280, 800));
        QCOMPARE(rig.ended.count(), 0);
    }

    void keepAlive()
    {
        Rig rig;
        rig.live(640, 480);
        QTimer *keepAlive = rig.client.keepAliveTimerForTest();
        QTimer *response = rig.client.responseTimerForTest();
        QCOMPARE(keepAlive->interval(), 15000);
        QVERIFY(!keepAlive->isSingleShot());
        QVERIFY(keepAlive->isActive());

        // A quiet panel is asked for the whole screen and given 12 s to answer.
        fire(keepAlive);
        QCOMPARE(rig.pipe.takeWritten(), updateRequest(false, 640, 480));
        QVERIFY(response->isActive());
        fire(keepAlive); // still waiting: no second probe
        QCOMPARE(rig.pipe.written(), QByteArray());

        // The answer stops the clock.
        rig.feed(update(1) + solidRaw(0, 0, 640, 480, 0x777777));
        QVERIFY(!response->isActive());
        QCOMPARE(rig.frames.count(), 1);

        // A partial message gives the clock back; it is not restarted while bytes trickle.
        rig.feed(update(1) + rectHeader(0, 0, 2, 2, 0));
        QVERIFY(response->isActive());
        fire(keepAlive); // not Running: nothing
        QCOMPARE(rig.pipe.written(), QByteArray());
        fire(response);
        QCOMPARE(rig.ended.count(), 1);
        QCOMPARE(rig.ended.at(0).at(0).toString(),
                 QStringLiteral("Сервер не завершил ответ за 12 секунд"));
        QVERIFY(rig.client.retryable());
        QVERIFY(!keepAlive->isActive());
    }

    void silentPanelTimesOut()
    {
        Rig rig;
        rig.live(640, 480);
        fire(rig.client.keepAliveTimerForTest());
        QCOMPARE(rig.pipe.takeWritten(), updateRequest(false, 640, 480));
        fire(rig.client.responseTimerForTest());
        QCOMPARE(rig.ended.count(), 1);
        QVERIFY(rig.client.retryable());
    }

    // ---------------------------------------------------------------- scripted servers, TCP

    void socketSession()
    {
        RfbTestServer server;
        server.setScreen(QSize(1280, 800), "Станок 1");
        QVERIFY(server.listen());
        RfbClient client;
        QSignalSpy statuses(&client, &RfbClient::status);
        QSignalSpy connected(&client, &RfbClient::connected);
        QSignalSpy frames(&client, &RfbClient::frameChanged);
        QSignalSpy ended(&client, &RfbClient::ended);

        client.connectToPanel(QStringLiteral("127.0.0.1"), server.port(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 5000);
        QCOMPARE(connected.at(0).at(0).toString(), QStringLiteral("Станок 1"));
        QCOMPARE(statuses.count(), 2);
        QCOMPARE(statuses.at(0).at(0).toString(),
                 QStringLiteral("Подключение к 127.0.0.1:%1…").arg(server.port()));
        QCOMPARE(statuses.at(1).at(0).toString(), QStringLiteral("Согласование подключения…"));
        QTRY_COMPARE_WITH_TIMEOUT(server.received(), clientHandshake38None(1280, 800), 5000);

        qsizetype mark = server.received().size();
        server.send(update(2) + solidRaw(0, 0, 10, 10, 0xFF8800) + copyRect(20, 20, 10, 10, 0, 0));
        QTRY_COMPARE_WITH_TIMEOUT(frames.count(), 2, 5000);
        QCOMPARE(client.framebuffer().pixel(25, 25), 0xFFFF8800u);
        // The next request leaves on its own, 35 ms after the update.
        QTRY_COMPARE_WITH_TIMEOUT(server.received().mid(mark), updateRequest(true, 1280, 800),
                                  5000);

        mark = server.received().size();
        client.sendKey(0xFF0D, true);
        client.sendPointer(300, 200, 1);
        QTRY_COMPARE_WITH_TIMEOUT(server.received().mid(mark),
                                  keyEvent(0xFF0D, true) + pointerEvent(300, 200, 1), 5000);

        server.closeConnection();
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 5000);
        QCOMPARE(ended.at(0).at(0).toString(), QStringLiteral("Соединение закрыто сервером"));
        QVERIFY(client.retryable());
        QTest::qWait(100);
        QCOMPARE(ended.count(), 1);
    }

    void compressedSession_data()
    {
        QTest::addColumn<bool>("zrleOffered");
        QTest::addColumn<int>("encoding"); // what the server sends
        QTest::addColumn<QList<QRect>>("areas"); // one update each
        QTest::addColumn<QString>("reason"); // empty: the session goes on
        const QList<QRect> screen { QRect(0, 0, 640, 400) };
        // Tiles cut at the edges; the ZRLE stream goes on from one rectangle to the next.
        const QList<QRect> odd { QRect(13, 7, 200, 150), QRect(300, 61, 129, 65),
            QRect(639, 399, 1, 1), QRect(5, 5, 0, 9) };
        QTest::newRow("ZRLE, whole screen") << true << 16 << screen << QString();
        QTest::newRow("ZRLE, odd areas") << true << 16 << odd << QString();
        QTest::newRow("Hextile, odd areas") << true << 5 << odd << QString();
        QTest::newRow("Hextile, ZRLE left out") << false << 5 << screen << QString();
        QTest::newRow("ZRLE not asked for")
            << false << 16 << screen << "Сервер прислал незапрошенное кодирование 16";
    }

    // With compression on the client asks for the compressed encodings first, and a picture with
    // every subencoding, encoded by the demo panels' encoders, arrives whole.
    void compressedSession()
    {
        QFETCH(bool, zrleOffered);
        QFETCH(int, encoding);
        QFETCH(QList<QRect>, areas);
        QFETCH(QString, reason);
        RfbTestServer server;
        server.setScreen(QSize(640, 400), "panel");
        QVERIFY(server.listen());
        RfbClient client;
        client.setCompression(true);
        client.setZrleOfferedForTest(zrleOffered);
        QSignalSpy frames(&client, &RfbClient::frameChanged);
        QSignalSpy ended(&client, &RfbClient::ended);
        client.connectToPanel(QStringLiteral("127.0.0.1"), server.port(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(server.received(),
            clientVersion(8) + u8(1) + u8(1) + setPixelFormat()
                + setCompressedEncodings(zrleOffered) + updateRequest(false, 640, 400),
            5000);

        const QImage picture = variedPicture(QSize(640, 400));
        QImage expected(picture.size(), QImage::Format_RGB32);
        expected.fill(emptyScreen);
        ZrleEncoder zrle;
        for (const QRect &a : areas) {
            server.send(update(1)
                + rectHeader(quint16(a.x()), quint16(a.y()), quint16(a.width()),
                    quint16(a.height()), encoding)
                + (encoding == 16 ? zrle.encode(picture, a, PixelFormat())
                                  : HextileEncoder::encode(picture, a, PixelFormat())));
            if (!a.isEmpty()) // an empty source rectangle would draw the whole picture
                QPainter(&expected).drawImage(a.topLeft(), picture, a);
        }
        if (!reason.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 5000);
            QCOMPARE(ended.at(0).at(0).toString(), reason);
            QVERIFY(!client.retryable());
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(frames.count(), 1 + areas.size(), 10000);
        QCOMPARE(ended.count(), 0);
        QCOMPARE(client.rectanglesForTest(encoding), areas.size());
        QCOMPARE(client.framebuffer(), expected);
    }

    void socketAuthentication_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("right") << QStringLiteral("s3cret12") << true;
        QTest::newRow("characters after the 8th ignored")
            << QStringLiteral("s3cret12\u00e9tc") << true;
        QTest::newRow("wrong") << QStringLiteral("S3cret12") << false;
        QTest::newRow("prefix") << QStringLiteral("s3cret") << false;
        QTest::newRow("empty") << QString() << false;
    }

    void socketAuthentication()
    {
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        RfbTestServer server;
        server.setPassword(QStringLiteral("s3cret12"));
        QVERIFY(server.listen());
        RfbClient client;
        QSignalSpy connected(&client, &RfbClient::connected);
        QSignalSpy ended(&client, &RfbClient::ended);
        client.connectToPanel(QStringLiteral("127.0.0.1"), server.port(), password);
        QTRY_VERIFY_WITH_TIMEOUT(connected.count() + ended.count() > 0, 5000);
        if (accepted) {
            QCOMPARE(connected.count(), 1);
            QVERIFY(client.isLive());
        } else {
            QCOMPARE(ended.count(), 1);
            QCOMPARE(ended.at(0).at(0).toString(),
                     rejectedText());
            QVERIFY(!client.retryable());
            QVERIFY(server.authenticationRejected());
        }
        QCOMPARE(client.passwordBytesForTest(), 0);
    }

    void connectionFails_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("reason");
        QTest::newRow("refused") << "127.0.0.1"
                                 << "Панель отклонила подключение";
        // A mistyped name that fails before any lookup, so the row needs no name server.
        QTest::newRow("host not found") << "panel..local"
                                        << "Адрес панели не найден";
    }

    // The operator reads Russian, and trying again may help.
    void connectionFails()
    {
        QFETCH(QString, host);
        QFETCH(QString, reason);
        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = probe.serverPort();
        }
        RfbClient client;
        QSignalSpy ended(&client, &RfbClient::ended);
        client.connectToPanel(host, port, QString());
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 5000);
        QCOMPARE(ended.at(0).at(0).toString(), reason);
        QVERIFY(client.retryable());
        QTest::qWait(50);
        QCOMPARE(ended.count(), 1);
    }

    void silentServerTimesOut()
    {
        RfbTestServer server;
        server.setAutoHandshake(false);
        QVERIFY(server.listen());
        RfbClient client;
        QSignalSpy statuses(&client, &RfbClient::status);
        QSignalSpy ended(&client, &RfbClient::ended);
        client.connectToPanel(QStringLiteral("127.0.0.1"), server.port(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(statuses.count(), 2, 5000);
        fire(client.responseTimerForTest());
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.at(0).at(0).toString(),
                 QStringLiteral("Сервер не завершил ответ за 12 секунд"));
        QVERIFY(client.retryable());
        QTRY_VERIFY_WITH_TIMEOUT(!server.connection()
                                     || server.connection()->state()
                                            != QAbstractSocket::ConnectedState,
                                 5000);
        QCOMPARE(ended.count(), 1);
    }

    void disconnectWhileConnectedIsSilent()
    {
        RfbTestServer server;
        QVERIFY(server.listen());
        RfbClient client;
        QSignalSpy connected(&client, &RfbClient::connected);
        QSignalSpy ended(&client, &RfbClient::ended);
        client.connectToPanel(QStringLiteral("127.0.0.1"), server.port(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 5000);
        client.disconnectFromPanel();
        server.closeConnection();
        QTest::qWait(100);
        QCOMPARE(ended.count(), 0);
        QVERIFY(!client.isLive());
    }

    // ---------------------------------------------------------------- TigerVNC's Xvnc

    void xvncSession()
    {
        XVNC_NEEDED();
        XvncServer xvnc;
        QVERIFY2(xvnc.start(QSize(800, 480)), qPrintable(xvnc.errorString()));
        QVERIFY2(xvnc.run(QStringLiteral("xsetroot"),
                          {QStringLiteral("-solid"), QStringLiteral("#204080")}),
                 qPrintable(xvnc.errorString()));

        RfbClient client;
        QSignalSpy connected(&client, &RfbClient::connected);
        QSignalSpy ended(&client, &RfbClient::ended);
        client.connectToPanel(QStringLiteral("127.0.0.1"), xvnc.port(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 10000);
        QCOMPARE(client.framebuffer().size(), QSize(800, 480));
        // An update is applied rectangle by rectangle across parse slices: the centre may be
        // new while a corner is not yet.
        QTRY_COMPARE_WITH_TIMEOUT(client.framebuffer().pixel(400, 240), 0xFF204080u, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(client.framebuffer().pixel(0, 0), 0xFF204080u, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(client.framebuffer().pixel(799, 479), 0xFF204080u, 10000);

        QVERIFY2(xvnc.run(QStringLiteral("xsetroot"),
                          {QStringLiteral("-solid"), QStringLiteral("#a03010")}),
                 qPrintable(xvnc.errorString()));
        QTRY_COMPARE_WITH_TIMEOUT(client.framebuffer().pixel(400, 240), 0xFFA03010u, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(client.framebuffer().pixel(799, 479), 0xFFA03010u, 10000);

        client.sendPointer(300, 200, 0);
        QTRY_COMPARE_WITH_TIMEOUT(xvnc.pointer(), QPoint(300, 200), 10000);
        client.sendPointer(17, 411, 0);
        QTRY_COMPARE_WITH_TIMEOUT(xvnc.pointer(), QPoint(17, 411), 10000);

        QCOMPARE(ended.count(), 0);
        xvnc.stop();
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 10000);
        QVERIFY(client.retryable());
    }

    // A session with compression negotiates ZRLE (or Hextile, with ZRLE left out) with a real
    // server and ends with the picture a Raw session of the same screen shows.
    void xvncCompressed_data()
    {
        QTest::addColumn<bool>("zrleOffered");
        QTest::newRow("ZRLE") << true;
        QTest::newRow("Hextile") << false;
    }

    void xvncCompressed()
    {
        XVNC_NEEDED();
        QFETCH(bool, zrleOffered);
        XvncServer xvnc;
        QVERIFY2(xvnc.start(QSize(640, 400)), qPrintable(xvnc.errorString()));
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("screen.png"));
        const QImage picture = variedPicture(QSize(640, 400));
        QVERIFY(picture.save(file));
        // ImageMagick's display exits with 1 even once it has set the root window: what counts is
        // the picture the Raw session then shows.
        xvnc.run(
            QStringLiteral("display"), { QStringLiteral("-window"), QStringLiteral("root"), file });

        RfbClient raw;
        RfbClient compressed;
        compressed.setCompression(true);
        compressed.setZrleOfferedForTest(zrleOffered);
        raw.connectToPanel(QStringLiteral("127.0.0.1"), xvnc.port(), QString());
        compressed.connectToPanel(QStringLiteral("127.0.0.1"), xvnc.port(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(raw.framebuffer() == picture, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(compressed.framebuffer() == raw.framebuffer(), 10000);
        QVERIFY(compressed.rectanglesForTest(zrleOffered ? 16 : 5) > 0);
        QCOMPARE(compressed.rectanglesForTest(zrleOffered ? 5 : 16), 0);
    }

    void xvncPassword_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("right") << QStringLiteral("pelorin1") << true;
        QTest::newRow("only the first 8 count") << QStringLiteral("pelorin1-and-more") << true;
        QTest::newRow("wrong") << QStringLiteral("pelorin2") << false;
    }

    void xvncPassword()
    {
        XVNC_NEEDED();
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        XvncServer xvnc;
        QVERIFY2(xvnc.start(QSize(640, 400), QStringLiteral("pelorin1")),
                 qPrintable(xvnc.errorString()));
        RfbClient client;
        QSignalSpy connected(&client, &RfbClient::connected);
        QSignalSpy ended(&client, &RfbClient::ended);
        client.connectToPanel(QStringLiteral("127.0.0.1"), xvnc.port(), password);
        QTRY_VERIFY_WITH_TIMEOUT(connected.count() + ended.count() > 0, 10000);
        if (accepted) {
            QCOMPARE(connected.count(), 1);
            QCOMPARE(client.framebuffer().size(), QSize(640, 400));
        } else {
            QCOMPARE(ended.count(), 1);
            QCOMPARE(ended.at(0).at(0).toString(),
                     rejectedText());
            QVERIFY(!client.retryable());
        }
        QCOMPARE(client.passwordBytesForTest(), 0);
    }
};

QTEST_GUILESS_MAIN(TestRfbClient)
#include "tst_rfbclient.moc"
