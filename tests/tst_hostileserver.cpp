// A hostile panel: malformed, oversized, truncated and stalling server streams against the RFB
// client, each ending exactly once with its text and flag and with memory kept in bounds, and a
// real server that closes the handshake at every byte.
#include "rfbclient.h"
#include "rfbtestserver.h"
#include "zrleencoder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <ctime>
#include <limits>

#include <unistd.h>

using namespace rfbwire;

namespace {

constexpr qint64 bufferLimit = 75497472;
constexpr qint64 MiB = 1024 * 1024;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool underAsan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool underAsan = true;
#else
constexpr bool underAsan = false;
#endif
#else
constexpr bool underAsan = false;
#endif

const QString closedText = QStringLiteral("Поток данных закрыт");
const QString timeoutText = QStringLiteral("Сервер не завершил ответ за 12 секунд");
const QString protocolText
    = QStringLiteral("Панель использует неподдерживаемый протокол подключения.");
const QString badReplyText = QStringLiteral("Некорректный ответ сервера");
const QString rejectedText
    = QStringLiteral("Сервер отклонил авторизацию. Проверьте пароль и права доступа.");
const QString sizeText = QStringLiteral("Недопустимый размер экрана");
const QString outsideText = QStringLiteral("Прямоугольник за пределами экрана");
const QString copyRectText = QStringLiteral("Некорректный CopyRect");
const QString cutTextText = QStringLiteral("Слишком большой буфер обмена сервера");
const QString heavyText = QStringLiteral("Сервер прислал слишком объёмное обновление экрана");

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE) : -1;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files | QDir::Dirs)
                   .size());
}

void fire(QTimer *timer)
{
    if (timer->isSingleShot())
        timer->stop();
    QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection);
}

// How the server's bytes reach the client.
enum class Delivery {
    Whole, // one write
    Pieces, // 64 KiB writes, each parsed as it arrives
    Burst, // everything waiting in the device before the client hears of it
    Trickle, // one byte at a time, against a shortened response deadline
};

// What the server does once its bytes are out.
enum class Finish {
    Close, // closes the stream
    FireTimer, // stays silent until the response timer runs out
};

// Counts the zero-delay continuations (queued calls) delivered to the client.
class MetaCallCounter : public QObject
{
public:
    int count = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::MetaCall)
            ++count;
        return false;
    }
};

QByteArray securityTypeRun(int count)
{
    QByteArray b = u8(quint8(count));
    for (int i = 0; i < count; ++i)
        b += char(3 + i % 253); // every code but None and VNC Authentication
    return b;
}

QByteArray colourMap(quint16 first, quint16 count)
{
    return u8(1) + u8(0) + u16(first) + u16(count) + QByteArray(6 * qsizetype(count), '\x7f');
}

QByteArray vncHandshake38(quint32 result)
{
    return version(8) + securityTypes({ 2 }) + QByteArray(16, '\x5a') + u32(result);
}

QByteArray serverInitWithFormat(
    quint16 w, quint16 h, const QByteArray &format, const QByteArray &name)
{
    return u16(w) + u16(h) + format + u32(quint32(name.size())) + name;
}

} // namespace

Q_DECLARE_METATYPE(Delivery)
Q_DECLARE_METATYPE(Finish)

class TestHostileServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QAbstractSocket::SocketError>(); }

    void hostileStreams_data()
    {
        QTest::addColumn<QSize>("screen"); // invalid: the script starts at the handshake
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<Delivery>("delivery");
        QTest::addColumn<Finish>("finish");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("retryable");
        QTest::addColumn<int>("frames"); // frameChanged signals, ServerInit included
        QTest::addColumn<QSize>("finalScreen"); // framebuffer size afterwards (invalid: null)
        QTest::addColumn<bool>("compression"); // the client asks for ZRLE and Hextile

        const QSize handshake;
        const QSize screen(800, 480);
        auto row
            = [](const char *name, QSize start, const QByteArray &script, Delivery delivery,
                  Finish finish, const QString &reason, bool retryable, int frames, QSize final) {
                  QTest::newRow(name) << start << script << delivery << finish << reason
                                      << retryable << frames << final << false;
              };
        // Most rows: one write, then the stream closes if the client is still there.
        auto simple = [&](const char *name, QSize start, const QByteArray &script,
                          const QString &reason, bool retryable, int frames, QSize final) {
            row(name, start, script, Delivery::Whole, Finish::Close, reason, retryable, frames,
                final);
        };
        // Compressed updates on the running 800 x 480 session that end it.
        auto compressed = [&](const char *name, const QByteArray &script, const QString &reason) {
            QTest::newRow(name) << screen << script << Delivery::Whole << Finish::Close << reason
                                << false << 1 << screen << true;
        };
        const QByteArray none38 = version(8) + securityTypes({ 1 }) + u32(0);
        const QByteArray none33 = version(3) + u32(1);

        // Version.
        simple("version garbage", handshake,
            QByteArray("\x00\xff"
                       "GET / HTTP",
                12),
            protocolText, false, 0, QSize());
        simple("RFB 002.000", handshake, "RFB 002.000\n", protocolText, false, 0, QSize());
        simple("11 bytes then close", handshake, "RFB 003.008", closedText, true, 0, QSize());

        // Security negotiation.
        simple("reason length 0xFFFFFFFF", handshake,
            version(8) + securityTypes({}) + u32(0xFFFFFFFF) + "abc", badReplyText, false, 0,
            QSize());
        simple("3.3 reason length 0xFFFFFFFF", handshake, version(3) + u32(0) + u32(0xFFFFFFFF),
            badReplyText, false, 0, QSize());
        simple("reason length 65537", handshake,
            version(8) + securityTypes({}) + failureReason(QByteArray(65537, 'r')), badReplyText,
            false, 0, QSize());
        simple("reason cut short by a close", handshake,
            version(8) + securityTypes({}) + u32(40) + "Too many", closedText, true, 0, QSize());
        simple("255 unknown security types", handshake, version(8) + securityTypeRun(255),
            QStringLiteral("Способ защиты соединения на этой панели не поддерживается."), false, 0,
            QSize());
        simple("3.3 security type 5", handshake, version(3) + u32(5),
            QStringLiteral("Неподдерживаемая авторизация сервера"), false, 0, QSize());
        simple("15-byte challenge then close", handshake,
            version(8) + securityTypes({ 2 }) + QByteArray(15, 'c'), closedText, true, 0, QSize());
        simple("SecurityResult 1", handshake, vncHandshake38(1), rejectedText, false, 0, QSize());
        simple("SecurityResult 2", handshake, vncHandshake38(2), rejectedText, false, 0, QSize());
        simple("SecurityResult 0xFFFFFFFF", handshake, vncHandshake38(0xFFFFFFFF), rejectedText,
            false, 0, QSize());

        // ServerInit.
        simple("ServerInit 0 x 600", handshake, none38 + serverInit(0, 600, "p"), sizeText, false,
            0, QSize());
        simple("ServerInit 8193 x 1", handshake, none38 + serverInit(8193, 1, "p"), sizeText, false,
            0, QSize());
        simple("ServerInit 8192 x 2049", handshake, none38 + serverInit(8192, 2049, "p"), sizeText,
            false, 0, QSize());
        simple("ServerInit 8192 x 8192", handshake, none33 + serverInit(8192, 8192, "p"), sizeText,
            false, 0, QSize());
        simple("ServerInit name length 0xFFFFFFFF", handshake,
            none38 + u16(800) + u16(480) + QByteArray(16, 0) + u32(0xFFFFFFFF) + "panel",
            QStringLiteral("Слишком длинное имя сервера"), false, 0, QSize());
        // Nonsense pixel format: ignored, the session runs in the client's own format.
        simple("nonsense server pixel format", handshake,
            none38
                + serverInitWithFormat(
                    64, 32, QByteArray::fromHex("07630502000000000000ffc8c8ff0000"), "p")
                + update(1) + solidRaw(0, 0, 64, 32, 0x123456),
            closedText, true, 2, QSize(64, 32));

        // Server messages.
        simple("message type 4", screen, u8(4), QStringLiteral("Неизвестное сообщение панели: 4"),
            false, 1, screen);
        simple("message type 150", screen, u8(150) + QByteArray(64, 0),
            QStringLiteral("Неизвестное сообщение панели: 150"), false, 1, screen);
        simple("message type 255", screen, u8(255),
            QStringLiteral("Неизвестное сообщение панели: 255"), false, 1, screen);
        simple("rectangle x 0xFFFF width 2", screen,
            update(1) + rectHeader(0xFFFF, 0, 2, 1, 0) + QByteArray(8, 0), outsideText, false, 1,
            screen);
        auto encoding = [&](const char *name, qint32 value) {
            simple(name, screen, update(1) + rectHeader(0, 0, 1, 1, value) + QByteArray(4, 0),
                QStringLiteral("Сервер прислал незапрошенное кодирование %1").arg(value), false, 1,
                screen);
        };
        encoding("encoding 5", 5);
        encoding("encoding 16", 16);
        encoding("encoding -239", -239);
        encoding("encoding 0x7FFFFFFF", 0x7FFFFFFF);
        simple("CopyRect source one pixel past the edge", screen,
            update(1) + copyRect(0, 0, 10, 10, 791, 0), copyRectText, false, 1, screen);
        simple("CopyRect source one row past the edge", screen,
            update(1) + copyRect(0, 0, 10, 10, 0, 471), copyRectText, false, 1, screen);
        simple("CopyRect source at 0xFFFF", screen,
            update(1) + copyRect(0, 0, 1, 1, 0xFFFF, 0xFFFF), copyRectText, false, 1, screen);
        simple(
            "DesktopSize 0 x 0", screen, update(1) + desktopSize(0, 0), sizeText, false, 1, screen);
        simple("DesktopSize 8192 x 2049", screen, update(1) + desktopSize(8192, 2049), sizeText,
            false, 1, screen);
        simple("rectangle fitting only the old size after DesktopSize", screen,
            update(2) + desktopSize(100, 100) + solidRaw(0, 0, 800, 480, 0xFF0000), outsideText,
            false, 1, QSize(100, 100));
        simple("colour map first colour 0xFFFF", screen,
            colourMap(0xFFFF, 2) + update(1) + solidRaw(0, 0, 1, 1, 0x0000FF), closedText, true, 2,
            screen);
        simple("colour map count 0xFFFF", screen,
            colourMap(0, 0xFFFF) + update(1) + solidRaw(0, 0, 1, 1, 0x0000FF), closedText, true, 2,
            screen);
        simple("ServerCutText of 0xFFFFFFFF bytes", screen,
            u8(3) + QByteArray(3, 0) + u32(0xFFFFFFFF) + QByteArray(4096, 't'), cutTextText, false,
            1, screen);
        simple("ServerCutText of 1048577 bytes", screen, cutText(1048577), cutTextText, false, 1,
            screen);
        {
            QByteArray many = update(0xFFFF);
            many.reserve(4 + 0xFFFF * 16);
            for (int i = 0; i < 0xFFFF; ++i)
                many += solidRaw(quint16(i % 800), quint16(i / 800), 1, 1, QRgb(i));
            row("65535 rectangles of 1 x 1", screen, many, Delivery::Pieces, Finish::Close,
                closedText, true, 2, screen);
        }
        // Storms: work out of all proportion to the bytes, ended at the bound.
        simple("two DesktopSize in one update", screen,
            update(2) + desktopSize(100, 100) + desktopSize(200, 200), closedText, true, 2,
            QSize(200, 200));
        {
            QByteArray sizes = update(0xFFFF), copies = update(0xFFFF);
            for (int i = 0; i < 0xFFFF; ++i) {
                sizes += desktopSize(8192, 2048);
                copies += copyRect(1, 1, 799, 479, 0, 0);
            }
            simple("storm of 65535 DesktopSize of 8192 x 2048", screen, sizes, heavyText, false, 1,
                QSize(8192, 2048));
            simple("storm of 65535 full-screen CopyRect", screen, copies, heavyText, false, 1,
                screen);
        }
        simple("storm of 1000 unrequested DesktopSize updates", QSize(4096, 4096),
            (update(1) + desktopSize(4096, 4096)).repeated(1000), heavyText, false, 7,
            QSize(4096, 4096));
        simple("storm of updates of two whole-screen CopyRects", QSize(4096, 4096),
            (update(2) + copyRect(1, 1, 4095, 4095, 0, 0) + copyRect(0, 0, 4095, 4095, 1, 1))
                .repeated(1000),
            heavyText, false, 13, QSize(4096, 4096));

        // ZRLE and Hextile.
        const QByteArray px("\x10\x20\x30", 3); // a CPIXEL
        const QByteArray one = update(1);
        const QString excess = "Распакованные данные ZRLE не помещаются в прямоугольник";
        const QString badIndex = "Индекс палитры ZRLE за пределами палитры";
        const QString longRun = "Серия пикселей ZRLE выходит за пределы плитки";
        const QString subrect = "Подпрямоугольник Hextile выходит за пределы плитки";
        compressed("ZRLE length of 1 MiB for 16 x 16",
            one + rectHeader(0, 0, 16, 16, 16) + u32(MiB) + QByteArray(64, 0),
            "Слишком длинные сжатые данные ZRLE");
        compressed("ZRLE stream not zlib",
            one + rectHeader(0, 0, 16, 16, 16) + u32(16) + QByteArray(16, '\xff'),
            "Повреждённые сжатые данные ZRLE");
        compressed("ZRLE inflating past its rectangle",
            one + zrleRect(0, 0, 1, 1, u8(1) + px + QByteArray(100, 1)), excess);
        // 64 MiB of zeros in 64 KiB: black raw tiles, then the rest is too much.
        compressed(
            "ZRLE inflate bomb", one + zrleRect(0, 0, 800, 480, QByteArray(64 * MiB, 0)), excess);
        compressed("ZRLE ending inside its tiles", one + zrleRect(0, 0, 2, 2, u8(0) + px + px),
            "Сжатые данные ZRLE закончились раньше прямоугольника");
        compressed("ZRLE packed palette index 3 of 3",
            one + zrleRect(0, 0, 4, 1, u8(3) + px + px + px + u8(0x1B)), badIndex);
        // The tile before has a palette of 10: its colours must not answer for the 9.
        compressed("ZRLE packed palette index 9 of 5",
            one
                + zrleRect(0, 0, 68, 1,
                    u8(10) + px.repeated(10) + QByteArray(32, 0) + u8(5) + px.repeated(5) + u8(0x01)
                        + u8(0x29)),
            badIndex);
        // Three 4-bit indices a row: the last sits in the high half of a padded byte.
        compressed("ZRLE packed palette index 7 of 5 before a row's padding",
            one + zrleRect(0, 0, 3, 1, u8(5) + px.repeated(5) + u8(0x01) + u8(0x70)), badIndex);
        compressed("ZRLE palette run index 5 of 2",
            one + zrleRect(0, 0, 4, 1, u8(130) + px + px + u8(0x85) + u8(1)), badIndex);
        compressed("ZRLE run of 5 in a tile of 4", one + zrleRect(0, 0, 2, 2, u8(128) + px + u8(4)),
            longRun);
        compressed("ZRLE palette run past its tile",
            one + zrleRect(0, 0, 64, 64, u8(130) + px + px + u8(0x81) + QByteArray(17, '\xff')),
            longRun);
        compressed("ZRLE subencoding 17", one + zrleRect(0, 0, 4, 4, u8(17) + px),
            "Неизвестное подкодирование ZRLE: 17");
        const QByteArray background = u8(2 | 8) + u32(0) + u8(1); // and one subrectangle
        compressed("Hextile subrectangle past its tile",
            one + rectHeader(0, 0, 16, 16, 5) + background + u8(0xF0) + u8(0x10), subrect);
        compressed("Hextile subrectangle past a cut tile",
            one + rectHeader(0, 0, 10, 10, 5) + background + u8(0x00) + u8(0xA0), subrect);
        compressed("Hextile subencoding 32", one + rectHeader(0, 0, 16, 16, 5) + u8(32),
            "Неизвестное подкодирование Hextile: 32");
        {
            // Few bytes that paint many pixels, again and again.
            QImage solid(800, 480, QImage::Format_RGB32);
            solid.fill(0x336699);
            ZrleEncoder encoder;
            QByteArray solids = update(200);
            for (int i = 0; i < 200; ++i)
                solids += rectHeader(0, 0, 800, 480, 16) + encoder.encode(solid, solid.rect(), {});
            compressed("storm of 200 solid whole-screen ZRLE rectangles", solids, heavyText);
            QByteArray tile = u8(2 | 8) + u32(0x112233) + u8(255);
            for (int i = 0; i < 255; ++i)
                tile += u8(0x00) + u8(0xFF); // the whole tile again
            const QByteArray overdrawn
                = one + rectHeader(0, 0, 800, 480, 5) + tile.repeated(50 * 30);
            compressed("Hextile tiles painted over 255 times", overdrawn, heavyText);
        }
        row("update announcing two rectangles sends one", screen,
            update(2) + solidRaw(0, 0, 8, 8, 0x00FF00), Delivery::Whole, Finish::FireTimer,
            timeoutText, true, 1, screen);
        {
            const QByteArray header = update(1) + rectHeader(0, 0, 8192, 2048, 0);
            row("64 MiB Raw cut off halfway", QSize(8192, 2048),
                header + QByteArray(32 * MiB, '\x40'), Delivery::Pieces, Finish::Close, closedText,
                true, 1, QSize(8192, 2048));
            // A whole screen of Raw followed by bells, all waiting at once: one byte too many.
            QByteArray burst = header + QByteArray(64 * MiB, '\x20');
            burst += QByteArray(bufferLimit + 1 - burst.size(), char(2));
            row("stream grows past 75497472 bytes", QSize(8192, 2048), burst, Delivery::Burst,
                Finish::Close, QStringLiteral("Слишком большой ответ сервера"), false, 1,
                QSize(8192, 2048));
        }
        row("1 MiB message trickled byte by byte", QSize(800, 600),
            update(1) + rectHeader(0, 0, 512, 512, 0) + QByteArray(MiB, '\x33'), Delivery::Trickle,
            Finish::FireTimer, timeoutText, true, 1, QSize(800, 600));
    }

    // Each stream ends the attempt exactly once with its text and flag; the client never buffers
    // more than the bytes it was sent (nor more than its limit), and the process does not grow
    // by more than the script itself, the framebuffer and some slack.
    void hostileStreams()
    {
        QFETCH(QSize, screen);
        QFETCH(QByteArray, script);
        QFETCH(Delivery, delivery);
        QFETCH(Finish, finish);
        QFETCH(QString, reason);
        QFETCH(bool, retryable);
        QFETCH(int, frames);
        QFETCH(QSize, finalScreen);
        QFETCH(bool, compression);

        const qint64 rssBefore = residentBytes();
        const qint64 scriptBytes = script.size();
        PipeTransport pipe;
        RfbClient client(nullptr, &pipe);
        client.setCompression(compression);
        QSignalSpy ended(&client, &RfbClient::ended);
        QSignalSpy frameSpy(&client, &RfbClient::frameChanged);
        client.connectToPanel(QStringLiteral("panel"), 5900, QStringLiteral("secret"));
        if (screen.isValid()) {
            pipe.feed(handshake38None(quint16(screen.width()), quint16(screen.height())));
            QCOMPARE(client.stateForTest(), RfbClient::Running);
        }
        QCOMPARE(ended.count(), 0);
        // The rows that expect a timeout fire the timer; a starved machine must not reach the
        // real 12 s while a big script is still being fed.
        client.responseTimerForTest()->setInterval(std::numeric_limits<int>::max());

        qint64 peakBuffered = 0;
        auto note
            = [&]() { peakBuffered = qMax(peakBuffered, qint64(client.bufferedBytesForTest())); };
        // Another session's view of the event loop: the longest wait of a 1 ms timer, in CPU time.
        const auto cpuMs = []() { return qint64(std::clock()) * 1000 / CLOCKS_PER_SEC; };
        qint64 longestGap = 0, lastTick = cpuMs();
        QTimer neighbour;
        neighbour.setInterval(1);
        connect(&neighbour, &QTimer::timeout, this,
            [&]() { longestGap = qMax(longestGap, cpuMs() - qExchange(lastTick, cpuMs())); });
        neighbour.start();

        switch (delivery) {
        case Delivery::Whole:
            pipe.feed(script);
            note();
            break;
        case Delivery::Pieces:
            for (qsizetype pos = 0; pos < script.size() && ended.isEmpty(); pos += 65536) {
                pipe.feed(script.mid(pos, 65536));
                note();
                QCoreApplication::processEvents();
            }
            break;
        case Delivery::Burst:
            for (qsizetype pos = 0; pos < script.size(); pos += 4 * MiB)
                pipe.preload(script.mid(pos, 4 * MiB));
            script = QByteArray();
            emit pipe.readyRead();
            note();
            break;
        case Delivery::Trickle: {
            // A shortened deadline stands in for the 12 s; the trickle goes on well past it, so
            // a deadline restarted by arriving bytes would never fire while it lasts.
            constexpr int deadlineMs = 300;
            client.responseTimerForTest()->setInterval(deadlineMs);
            MetaCallCounter continuations;
            client.installEventFilter(&continuations);
            QElapsedTimer clock;
            clock.start();
            qsizetype pos = 0;
            while (ended.isEmpty() && pos < script.size() - 1 && clock.elapsed() < 5 * deadlineMs) {
                pipe.feed(script.mid(pos++, 1));
                if (pos % 256 == 0) {
                    note();
                    QCoreApplication::processEvents();
                    // At most about 500 bytes a millisecond, so the message outlasts the trickle
                    // on any machine.
                    if (pos > clock.elapsed() * 500)
                        QTest::qSleep(1);
                }
            }
            note();
            QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty(), 5 * deadlineMs);
            QVERIFY2(clock.elapsed() >= deadlineMs - 20, "deadline cut short");
            QVERIFY2(pos < script.size() - 1, "the trickle outlasted the message");
            // Each byte was parsed as it came. A continuation follows only a slice that lost the
            // processor for its whole time, as happens now and then on a busy machine; a client
            // that put off its parsing would need one for every turn of the loop above.
            QVERIFY2(continuations.count * 2 <= pos / 256,
                qPrintable(QStringLiteral("%1 continuations for %2 bytes")
                               .arg(QString::number(continuations.count), QString::number(pos))));
            client.removeEventFilter(&continuations);
            break;
        }
        }

        if (ended.isEmpty()) {
            if (finish == Finish::FireTimer) {
                QVERIFY(client.responseTimerForTest()->isActive());
                fire(client.responseTimerForTest());
            } else {
                // Everything is taken from the device and parsed (a partial message stays
                // buffered), unless a continuation meets the fault first and ends the attempt
                // with the rest unread, as a slice that ran out of time on a busy machine does.
                QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty()
                        || (pipe.unreadBytes() == 0 && !client.parsingPendingForTest()),
                    5000);
                note();
                if (ended.isEmpty())
                    pipe.closeFromServer();
            }
        }

        neighbour.stop();
        if (QByteArray(QTest::currentDataTag()).startsWith("storm")) {
            qInfo("longest event-loop gap during the storm: %lld ms of work", longestGap);
            QVERIFY(longestGap < (underAsan ? 300 : 100));
        }
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.at(0).at(0).toString(), reason);
        QCOMPARE(client.retryable(), retryable);
        QCOMPARE(client.stateForTest(), RfbClient::Idle);
        QCOMPARE(frameSpy.count(), frames);
        QCOMPARE(client.framebuffer().size(), finalScreen.isValid() ? finalScreen : QSize(0, 0));
        QCOMPARE(client.bufferedBytesForTest(), 0);
        QCOMPARE(client.passwordBytesForTest(), 0);

        // Memory: what the client held never exceeded what it was sent or its limit.
        QVERIFY2(peakBuffered <= bufferLimit, qPrintable(QString::number(peakBuffered)));
        QVERIFY2(peakBuffered <= scriptBytes, qPrintable(QString::number(peakBuffered)));
        const qint64 image = qint64(client.framebuffer().sizeInBytes());
        const qint64 slack = (underAsan ? 320 : 64) * MiB;
        const qint64 grown = residentBytes() - rssBefore;
        QVERIFY2(grown <= 2 * scriptBytes + image + slack,
            qPrintable(QStringLiteral("resident memory grew by %1 bytes").arg(grown)));

        // Nothing more from this attempt: leftover events, timers, a closing stream.
        QCoreApplication::processEvents();
        fire(client.keepAliveTimerForTest());
        fire(client.updateTimerForTest());
        if (pipe.isOpen())
            pipe.closeFromServer();
        QCOMPARE(ended.count(), 1);
    }

    // A real server closes the handshake of a 3.8 VNC Authentication session after each of its
    // bytes in turn: every attempt ends once with the retryable close text, no descriptor is
    // left open, and the same client then completes a whole handshake.
    void closeAtEveryHandshakeByte()
    {
        const QByteArray challenge = QByteArray::fromHex("0123456789abcdeffedcba9876543210");
        // Server chunks, each sent once the client has written the bytes before it.
        const QList<QByteArray> chunks = { version(8), securityTypes({ 1, 2 }), challenge, u32(0),
            serverInit(320, 200, "Пульт") };
        const QList<int> clientBytesBefore = { 0, 12, 1, 16, 1 };
        qsizetype total = 0;
        for (const QByteArray &c : chunks)
            total += c.size();
        const qsizetype versionEnd = chunks.at(0).size();
        const qsizetype challengeEnd = versionEnd + chunks.at(1).size() + chunks.at(2).size();

        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        int cut = 0; // server bytes sent before the close, for the current connection
        QPointer<QTcpSocket> peer;
        QByteArray received;
        int next = 0;
        qsizetype sent = 0;
        auto advance = [&]() {
            while (peer && next < chunks.size()) {
                qsizetype needed = 0;
                for (int i = 0; i <= next; ++i)
                    needed += clientBytesBefore.at(i);
                if (received.size() < needed)
                    return;
                const QByteArray chunk = chunks.at(next++);
                const qsizetype n = qMin<qsizetype>(chunk.size(), cut - sent);
                peer->write(chunk.left(n));
                sent += n;
                if (sent == cut && cut < total) {
                    peer->flush();
                    peer->disconnectFromHost();
                    return;
                }
            }
        };
        connect(&server, &QTcpServer::newConnection, this, [&]() {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                if (peer)
                    peer->deleteLater();
                peer = s;
                received.clear();
                next = 0;
                sent = 0;
                connect(s, &QTcpSocket::readyRead, s, [&, s]() {
                    if (s != peer)
                        return;
                    received += s->readAll();
                    advance();
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                advance();
            }
        });

        const int descriptorsBefore = openDescriptors();
        RfbClient client;
        QSignalSpy ended(&client, &RfbClient::ended);
        QSignalSpy connectedSpy(&client, &RfbClient::connected);
        for (cut = 0; cut < total; ++cut) {
            ended.clear();
            client.connectToPanel(
                QStringLiteral("127.0.0.1"), server.serverPort(), QStringLiteral("secret"));
            QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 5000);
            QCOMPARE(ended.at(0).at(0).toString(), QStringLiteral("Соединение закрыто сервером"));
            QVERIFY(client.retryable());
            QCOMPARE(client.stateForTest(), RfbClient::Idle);
            QCOMPARE(client.passwordBytesForTest(), 0);
            QCOMPARE(connectedSpy.count(), 0);
            // Late socket signals of the closed connection must not end anything again.
            QTest::qWait(5);
            QCOMPARE(ended.count(), 1);
            // The server waits for each answer before it goes on, so past the version and past
            // the challenge the client's replies must have arrived.
            if (cut > versionEnd)
                QVERIFY(received.startsWith(clientVersion(8)));
            if (cut > challengeEnd)
                QCOMPARE(received.mid(13, 16), vncResponse(challenge, QStringLiteral("secret")));
        }

        // The whole handshake on the same client.
        ended.clear();
        client.connectToPanel(
            QStringLiteral("127.0.0.1"), server.serverPort(), QStringLiteral("secret"));
        QTRY_COMPARE_WITH_TIMEOUT(connectedSpy.count(), 1, 5000);
        QCOMPARE(connectedSpy.at(0).at(0).toString(), QStringLiteral("Пульт"));
        QCOMPARE(client.framebuffer().size(), QSize(320, 200));
        QVERIFY(client.isLive());
        QCOMPARE(ended.count(), 0);
        client.disconnectFromPanel();
        if (peer) {
            peer->abort();
            peer->deleteLater();
        }
        QTRY_VERIFY(!peer);
        QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), descriptorsBefore, 2000);
        server.close();
    }
};

QTEST_GUILESS_MAIN(TestHostileServer)
#include "tst_hostileserver.moc"
