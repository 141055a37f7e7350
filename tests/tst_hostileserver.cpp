// A hostile panel: malformed, oversized, truncated and stalling server streams against the RFB
// client, each ending exactly once with its text and flag and with memory kept in bounds, and a
// real server that closes the handshake at every byte.
#include "rfbclient.h"
#include "rfbtestserver.h"
#include "workbudget.h"
#include "zrleencoder.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QProperty>
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
const QRgb emptyScreen = 0xFF101820; // a new screen before its first picture

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
    Trickle, // one byte at a time, well into the message and never to its end
};

// What the server does once its bytes are out.
enum class Finish {
    Close, // closes the stream
    FireTimer, // stays silent until the response timer runs out
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

// A ZRLE pixel (blue, green, red) and a Hextile one, whose fourth byte, 0 here, is no alpha.
QByteArray cpixel(QRgb colour)
{
    return u8(quint8(qBlue(colour))) + u8(quint8(qGreen(colour))) + u8(quint8(qRed(colour)));
}

QByteArray hpixel(QRgb colour)
{
    return cpixel(colour) + u8(0);
}

// The 800 x 480 screen a session starts with.
QImage emptyPicture()
{
    QImage picture(800, 480, QImage::Format_RGB32);
    picture.fill(emptyScreen);
    return picture;
}

// Runs of colours laid out row by row over `area`, as a run-length tile reads.
void paintRuns(QImage &picture, const QRect &area, const QList<QPair<QRgb, int>> &runs)
{
    int i = 0;
    for (const auto &[colour, length] : runs)
        for (int k = 0; k < length; ++k, ++i)
            picture.setPixel(area.x() + i % area.width(), area.y() + i / area.width(), colour);
}

// Palette indices given as one string of digits per row.
void paintIndices(
    QImage &picture, const QPoint &at, const QList<QRgb> &palette, const QStringList &rows)
{
    for (int y = 0; y < rows.size(); ++y)
        for (int x = 0; x < rows.at(y).size(); ++x)
            picture.setPixel(at.x() + x, at.y() + y, palette.at(rows.at(y).at(x).digitValue()));
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
        QTest::addColumn<int>("frames"); // frameChanged signals, ServerInit included (-1: any)
        QTest::addColumn<QSize>("finalScreen"); // framebuffer size afterwards (invalid: null)
        QTest::addColumn<bool>("compression"); // the client asks for ZRLE and Hextile
        // Storms: the screen areas of work beyond the bytes that one turn of the event loop may
        // take on at most, a new screen counting as four (0: not a storm).
        QTest::addColumn<int>("turnScreens");
        // Busy rather than hostile: reading pauses for the work budget (in fake time) instead of
        // the session ending; the row runs ten fake seconds of it, then the stream closes.
        QTest::addColumn<bool>("slowed");
        // The panel answers each update request at once: the pacing timer fires whenever it runs.
        QTest::addColumn<bool>("answered");
        // The screen the client shows at the end, compared as stored 32-bit words, alpha
        // included (null: not compared).
        QTest::addColumn<QImage>("picture");

        const QSize handshake;
        const QSize screen(800, 480);
        auto row = [](const char *name, QSize start, const QByteArray &script, Delivery delivery,
                       Finish finish, const QString &reason, bool retryable, int frames,
                       QSize final) {
            QTest::newRow(name) << start << script << delivery << finish << reason << retryable
                                << frames << final << false << 0 << false << false << QImage();
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
                                << false << 1 << screen << true << 0 << false << false << QImage();
        };
        // Work out of all proportion to the bytes, in one write that closes the stream.
        auto storm
            = [&](const char *name, QSize start, const QByteArray &script, const QString &reason,
                  bool retryable, int frames, QSize final, bool compression, int turnScreens) {
                  QTest::newRow(name) << start << script << Delivery::Whole << Finish::Close
                                      << reason << retryable << frames << final << compression
                                      << turnScreens << false << false << QImage();
              };
        // Busy work, slowed: the stream is still there after ten fake seconds and then closes.
        auto slowed = [&](const char *name, QSize start, const QByteArray &script, int frames,
                          bool compression, int turnScreens, bool answered = false) {
            QTest::newRow(name) << start << script << Delivery::Whole << Finish::Close << closedText
                                << true << frames << start << compression << turnScreens << true
                                << answered << QImage();
        };
        // One new screen a turn, and nothing else.
        constexpr int newScreen = 4;
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
        // Storms: work out of all proportion to the bytes, ended at the bound, and spread over
        // turns of the event loop however fast the machine is.
        storm("two DesktopSize in one update", screen,
            update(2) + desktopSize(100, 100) + desktopSize(200, 200), closedText, true, 2,
            QSize(200, 200), false, newScreen);
        {
            QByteArray sizes = update(0xFFFF), copies = update(0xFFFF), wholes = update(0xFFFF);
            for (int i = 0; i < 0xFFFF; ++i) {
                sizes += desktopSize(8192, 2048);
                copies += copyRect(1, 1, 799, 479, 0, 0);
                wholes += copyRect(0, 0, 800, 480, 0, 0);
            }
            storm("storm of 65535 DesktopSize of 8192 x 2048", screen, sizes, heavyText, false, 1,
                QSize(8192, 2048), false, newScreen);
            // Each copy just short of a screen: two of them a turn.
            slowed("storm of 65535 full-screen CopyRect", screen, copies, 1, false, 2);
            // Each copy exactly a screen: one a turn.
            slowed("storm of 65535 whole-screen CopyRects onto themselves", screen, wholes, 1,
                false, 1);
        }
        storm("storm of 1000 unrequested DesktopSize updates", QSize(4096, 4096),
            (update(1) + desktopSize(4096, 4096)).repeated(1000), heavyText, false, 7,
            QSize(4096, 4096), false, newScreen);
        slowed("storm of updates of two whole-screen CopyRects", QSize(4096, 4096),
            (update(2) + copyRect(1, 1, 4095, 4095, 0, 0) + copyRect(0, 0, 4095, 4095, 1, 1))
                .repeated(1000),
            -1, false, 2);
        // The answer to every request just short of the old allowance: 23 whole screens.
        const QByteArray answers
            = (update(23) + copyRect(0, 0, 1920, 1080, 0, 0).repeated(23)).repeated(400);
        slowed("updates of 23 whole-screen CopyRects", QSize(1920, 1080), answers, -1, false, 1);
        // Our requests buy no work: the budget refills with time alone.
        slowed("updates of 23 whole-screen CopyRects, each request answered at once",
            QSize(1920, 1080), answers, -1, false, 1, true);
        // New screens: six pass between two requests, the seventh ends the session.
        storm("six DesktopSize in one update", screen,
            update(6) + desktopSize(100, 100).repeated(6), closedText, true, 2, QSize(100, 100),
            false, newScreen);
        storm("seven DesktopSize in one update", screen,
            update(7) + desktopSize(100, 100).repeated(7), heavyText, false, 1, QSize(100, 100),
            false, newScreen);

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
        // Accepted: the session goes on until the close, showing `picture` (null: not compared).
        auto accepted = [&](const char *name, const QByteArray &script, const QImage &picture) {
            QTest::newRow(name) << screen << script << Delivery::Whole << Finish::Close
                                << closedText << true << 2 << screen << true << 0 << false << false
                                << picture;
        };
        const QRgb red = 0xC01020, green = 0x20A040, blue = 0x2040E0, yellow = 0xE0C030,
                   grey = 0x808080;
        {
            // Run lengths of several bytes (255 means that another follows): 256, 600 and 168
            // pixels of plain RLE, then 700 and 324 of palette RLE.
            const QByteArray plain = u8(128) + cpixel(red) + u8(255) + u8(0) + cpixel(green)
                + u8(255) + u8(255) + u8(89) + cpixel(blue) + u8(167);
            const QByteArray palette = u8(130) + cpixel(yellow) + cpixel(grey) + u8(0x80) + u8(255)
                + u8(255) + u8(189) + u8(0x81) + u8(255) + u8(68);
            QImage picture = emptyPicture();
            paintRuns(
                picture, QRect(8, 8, 64, 16), { { red, 256 }, { green, 600 }, { blue, 168 } });
            paintRuns(picture, QRect(72, 8, 64, 16), { { yellow, 700 }, { grey, 324 } });
            accepted("ZRLE runs longer than 255", one + zrleRect(8, 8, 128, 16, plain + palette),
                picture);
        }
        {
            // Packed rows start on a byte; the bits that pad them, set here, mean nothing.
            QImage two = emptyPicture();
            paintIndices(
                two, { 20, 40 }, { red, green }, { "0101010101", "1111100000", "1111111111" });
            accepted("ZRLE palette of 2, rows of 10 pixels in 2 bytes",
                one
                    + zrleRect(20, 40, 10, 3,
                        u8(2) + cpixel(red) + cpixel(green)
                            + QByteArray("\x55\x40\xF8\x00\xFF\xFF", 6)),
                two);
            QImage three = emptyPicture();
            paintIndices(three, { 40, 40 }, { red, green, blue }, { "01201", "22100" });
            accepted("ZRLE palette of 3, two bits a pixel, rows of 5 in 2 bytes",
                one
                    + zrleRect(40, 40, 5, 2,
                        u8(3) + cpixel(red) + cpixel(green) + cpixel(blue)
                            + QByteArray("\x18\x7F\xA4\x00", 4)),
                three);
            QImage five = emptyPicture();
            paintIndices(five, { 60, 40 }, { red, green, blue, yellow, grey }, { "024", "310" });
            accepted("ZRLE palette of 5, four bits a pixel, rows of 3 in 2 bytes",
                one
                    + zrleRect(60, 40, 3, 2,
                        u8(5) + cpixel(red) + cpixel(green) + cpixel(blue) + cpixel(yellow)
                            + cpixel(grey) + QByteArray("\x02\x40\x31\x0F", 4)),
                five);
        }
        {
            QImage picture = emptyPicture();
            picture.setPixel(0, 0, 0xFF302010);
            accepted("ZRLE inflated bytes after the last tile are discarded",
                one + zrleRect(0, 0, 1, 1, u8(1) + px + QByteArray(100, 1)), picture);
        }
        compressed("ZRLE inflating past what its tiles could take",
            one + zrleRect(0, 0, 1, 1, u8(1) + px + QByteArray(1000, 1)), excess);
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
        compressed("ZRLE palette run index 2 of 2",
            one + zrleRect(0, 0, 4, 1, u8(130) + px + px + u8(0x02) + u8(0x80) + u8(2)), badIndex);
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
        {
            QImage picture = emptyPicture();
            QPainter(&picture).fillRect(0, 0, 16, 16, QColor(0x341200));
            accepted("Hextile subencoding bits above the five are ignored",
                one + rectHeader(0, 0, 16, 16, 5) + u8(0xE0 | 2) + u32(0x123456), picture);
        }
        {
            // With the Raw bit the other bits mean nothing, and the background stays the one
            // before.
            QByteArray pixels;
            QImage picture = emptyPicture();
            QPainter painter(&picture);
            painter.fillRect(300, 200, 16, 16, QColor(green));
            painter.fillRect(332, 200, 16, 16, QColor(green));
            painter.end();
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < 16; ++x) {
                    const QRgb colour = qRgb(x * 16 + 8, y * 16 + 8, 0x80);
                    pixels += hpixel(colour);
                    picture.setPixel(316 + x, 200 + y, colour);
                }
            accepted("Hextile Raw bit with all the others",
                one + rectHeader(300, 200, 48, 16, 5) + u8(2) + hpixel(green) + u8(31) + pixels
                    + u8(0),
                picture);
        }
        {
            // A rectangle's first tile without a background: black, not the last rectangle's.
            QImage picture = emptyPicture();
            QPainter painter(&picture);
            painter.fillRect(400, 0, 16, 16, QColor(red));
            painter.fillRect(416, 0, 16, 16, Qt::black);
            painter.end();
            accepted("Hextile first tile without a background",
                update(2) + rectHeader(400, 0, 16, 16, 5) + u8(2 | 4) + hpixel(red) + hpixel(blue)
                    + rectHeader(416, 0, 16, 16, 5) + u8(0),
                picture);
        }
        {
            // Few bytes that paint many pixels, again and again.
            QImage solid(800, 480, QImage::Format_RGB32);
            solid.fill(0x336699);
            ZrleEncoder encoder;
            QByteArray solids = update(200);
            for (int i = 0; i < 200; ++i)
                solids += rectHeader(0, 0, 800, 480, 16) + encoder.encode(solid, solid.rect(), {});
            slowed("storm of 200 solid whole-screen ZRLE rectangles", screen, solids, -1, true, 2);
            QByteArray tile = u8(2 | 8) + u32(0x112233) + u8(255);
            for (int i = 0; i < 255; ++i)
                tile += u8(0x00) + u8(0xFF); // the whole tile again
            const QByteArray overdrawn
                = one + rectHeader(0, 0, 800, 480, 5) + tile.repeated(50 * 30);
            // One decoder call, about 1.4 screen areas here, a turn.
            slowed("Hextile tiles painted over 255 times", screen, overdrawn, -1, true, 2);
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
        QFETCH(int, turnScreens);
        QFETCH(bool, slowed);
        QFETCH(bool, answered);
        QFETCH(QImage, picture);

        const qint64 rssBefore = residentBytes();
        const qint64 scriptBytes = script.size();
        PipeTransport pipe;
        RfbClient client(nullptr, &pipe);
        client.setCompression(compression);
        // The work budget refills in fake time: the row decides when time passes.
        qint64 fakeNow = 0;
        client.setClockForTest([&fakeNow]() { return fakeNow; });
        QSignalSpy ended(&client, &RfbClient::ended);
        QSignalSpy frameSpy(&client, &RfbClient::frameChanged);
        client.connectToPanel(QStringLiteral("panel"), 5900, QStringLiteral("secret"));
        if (screen.isValid()) {
            pipe.feed(handshake38None(quint16(screen.width()), quint16(screen.height())));
            QCOMPARE(client.stateForTest(), RfbClient::Running);
        }
        QCOMPARE(ended.count(), 0);
        // The rows that expect a timeout fire the timer; a starved machine must not reach the
        // real 12 s while a big script is still being fed, nor an update request go out after
        // 35 ms (or 15 s) and grant a storm more work than its row expects.
        for (QTimer *timer : { client.responseTimerForTest(), client.updateTimerForTest(),
                 client.keepAliveTimerForTest() })
            timer->setInterval(std::numeric_limits<int>::max());

        qint64 peakBuffered = 0;
        auto note
            = [&]() { peakBuffered = qMax(peakBuffered, qint64(client.bufferedBytesForTest())); };
        // Another session's view of the event loop: the longest wait of a 1 ms timer, in CPU time.
        // A figure for the log only; the bound on it is the update-path benchmark's.
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
            // Each byte is taken from the device as it comes (a client that put its parsing off
            // would leave it there), and the response deadline, started by the update's header,
            // is never restarted by the bytes that follow: a deadline restarted by arriving bytes
            // would never fire while a trickle lasts. The row's finish then fires it.
            const qsizetype headers = 4 + 12; // FramebufferUpdate and the rectangle's header
            const qsizetype trickled = 64 * 1024;
            QVERIFY(trickled < script.size());
            QTimer *deadline = client.responseTimerForTest();
            int restarts = 0;
            QPropertyNotifier watch;
            for (qsizetype pos = 0; pos < trickled && ended.isEmpty(); ++pos) {
                if (pos == headers) {
                    QVERIFY(deadline->isActive());
                    watch = deadline->bindableActive().addNotifier([&restarts]() { ++restarts; });
                }
                pipe.feed(script.mid(pos, 1));
                QVERIFY2(pipe.unreadBytes() == 0, qPrintable(QString::number(pos)));
                if (pos % 256 == 255) {
                    note();
                    QCoreApplication::processEvents();
                }
            }
            note();
            QCOMPARE(restarts, 0);
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
                // with the rest unread, as a pass that ran out of time or work does. A pause for
                // the work budget lasts until its timer, fired once fake time has caught up.
                int pauses = 0;
                constexpr qint64 horizonMs = 10000;
                while (ended.isEmpty()
                    && (client.parsingPendingForTest() || client.throttledForTest())
                    && fakeNow < horizonMs) {
                    if (answered && client.updateTimerForTest()->isActive())
                        fire(client.updateTimerForTest());
                    if (client.throttledForTest()) {
                        ++pauses;
                        // Neither our silence timer nor a keep-alive runs while we do not read.
                        QVERIFY(!client.responseTimerForTest()->isActive());
                        fire(client.keepAliveTimerForTest());
                        QVERIFY(!client.responseTimerForTest()->isActive());
                        fakeNow += client.resumeTimerForTest()->interval();
                        fire(client.resumeTimerForTest());
                    } else {
                        QCoreApplication::processEvents();
                    }
                }
                // Slowed rows pause; a storm of new screens may pause before it ends, too.
                if (slowed)
                    QVERIFY(pauses > 0);
                if (slowed) {
                    // The time that passed is used up: the client pauses again, unless the
                    // stream runs out first.
                    while (ended.isEmpty() && client.parsingPendingForTest()
                        && !client.throttledForTest())
                        QCoreApplication::processEvents();
                    // Over the fake time that passed, no more than the budget's capacity and
                    // its refill, plus the one step that overdrew it.
                    const qint64 area = qint64(screen.width()) * screen.height();
                    const qint64 allowed = RfbClient::workCapacityForTest()
                        + RfbClient::workPerSecondForTest() * fakeNow / 1000 + 2 * area;
                    QVERIFY2(client.workDoneForTest() <= allowed,
                        qPrintable(QStringLiteral("%1 pixels of work in %2 ms")
                                       .arg(client.workDoneForTest())
                                       .arg(fakeNow)));
                    // And no less, when paused: reading went on as soon as each debt was
                    // repaid, so the work used all that time refilled (less a token a pause,
                    // for the rounding of each refill).
                    if (client.throttledForTest()) {
                        const qint64 refilled = RfbClient::workCapacityForTest()
                            + RfbClient::workPerSecondForTest() * fakeNow / 1000 - pauses;
                        QVERIFY2(client.workDoneForTest() > refilled,
                            qPrintable(QStringLiteral("%1 pixels of work in %2 ms")
                                           .arg(client.workDoneForTest())
                                           .arg(fakeNow)));
                    }
                    QCOMPARE(ended.count(), 0);
                }
                QVERIFY(!ended.isEmpty() || fakeNow >= horizonMs
                    || (pipe.unreadBytes() == 0 && !client.parsingPendingForTest()));
                note();
                if (ended.isEmpty())
                    pipe.closeFromServer();
            }
        }

        neighbour.stop();
        if (turnScreens > 0) {
            // Counted, not timed: a slower or busier machine takes longer over the same turn.
            const int busiest = client.busiestPassForTest();
            qInfo("busiest turn of the event loop: %d screen areas of work (at most %d); longest "
                  "event-loop gap: %lld ms of processor time",
                busiest, turnScreens, longestGap);
            QVERIFY2(busiest >= 1 && busiest <= turnScreens, qPrintable(QString::number(busiest)));
        }
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.at(0).at(0).toString(), reason);
        QCOMPARE(client.retryable(), retryable);
        QCOMPARE(client.stateForTest(), RfbClient::Idle);
        if (frames >= 0)
            QCOMPARE(frameSpy.count(), frames);
        else
            QVERIFY(frameSpy.count() >= 1);
        QCOMPARE(client.framebuffer().size(), finalScreen.isValid() ? finalScreen : QSize(0, 0));
        if (!picture.isNull()) {
            // Word by word: QImage's comparison of RGB32 images ignores the alpha byte.
            const QImage &shown = client.framebuffer();
            for (int y = 0; y < picture.height(); ++y) {
                const auto *got = reinterpret_cast<const quint32 *>(shown.constScanLine(y));
                const auto *want = reinterpret_cast<const quint32 *>(picture.constScanLine(y));
                for (int x = 0; x < picture.width(); ++x)
                    if (got[x] != want[x])
                        QFAIL(qPrintable(QStringLiteral("pixel %1,%2 is %3, not %4")
                                             .arg(x)
                                             .arg(y)
                                             .arg(got[x], 8, 16, QLatin1Char('0'))
                                             .arg(want[x], 8, 16, QLatin1Char('0'))));
            }
        }
        // Whatever a refused rectangle left behind is drawn opaque, as every pixel must be.
        const QImage &left = client.framebuffer();
        for (int y = 0; y < left.height(); ++y) {
            const auto *got = reinterpret_cast<const quint32 *>(left.constScanLine(y));
            for (int x = 0; x < left.width(); ++x)
                if (got[x] < 0xFF000000u)
                    QFAIL(qPrintable(QStringLiteral("pixel %1,%2 is not opaque").arg(x).arg(y)));
        }
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

    // The work budget as a script of "spend N@t; level N@t; wait N@t" (milliseconds until
    // a debt is repaid) on a bucket of 1000 that refills 500 a second.
    void workBudget_data()
    {
        QTest::addColumn<QString>("script");
        QTest::newRow("starts full") << "level 1000@0; wait 0@0";
        QTest::newRow("refills with time") << "spend 1000@0; level 0@0; level 250@500; level 500@1000";
        QTest::newRow("never saves up past its size")
            << "level 1000@5000; spend 1000@5000; level 0@5000; level 1000@60000";
        QTest::newRow("an overdraft is a debt") << "spend 1500@0; level -500@0; wait 1000@0";
        QTest::newRow("a debt is repaid by time") << "spend 1500@0; wait 500@500; level 0@1000";
        QTest::newRow("a part of a millisecond still waits") << "spend 1001@0; wait 2@0";
        QTest::newRow("quiet time during a debt counts")
            << "spend 1200@0; spend 100@300; level -150@300; wait 300@300";
    }

    void workBudget()
    {
        QFETCH(QString, script);
        WorkBudget budget(1000, 500);
        budget.reset(0);
        for (const QString &step : script.split(QStringLiteral("; "))) {
            const QStringList parts = step.split(QRegularExpression(QStringLiteral("[ @]")));
            QCOMPARE(parts.size(), 3);
            const qint64 value = parts.at(1).toLongLong();
            const qint64 at = parts.at(2).toLongLong();
            if (parts.at(0) == QLatin1String("spend"))
                budget.spend(value, at);
            else if (parts.at(0) == QLatin1String("level"))
                QCOMPARE(budget.level(at), value);
            else
                QCOMPARE(budget.msUntilRepaid(at), value);
        }
    }

    // A server that pushes 30 compressed updates a second without being asked is slowed at
    // most, never ended: its work stays within what the budget refills.
    void pushingServerIsSlowedNotEnded()
    {
        PipeTransport pipe;
        RfbClient client(nullptr, &pipe);
        client.setCompression(true);
        qint64 fakeNow = 0;
        client.setClockForTest([&fakeNow]() { return fakeNow; });
        QSignalSpy ended(&client, &RfbClient::ended);
        QSignalSpy frames(&client, &RfbClient::frameChanged);
        client.connectToPanel(QStringLiteral("panel"), 5900, QString());
        pipe.feed(handshake38None(1280, 800));
        QCOMPARE(client.stateForTest(), RfbClient::Running);
        client.updateTimerForTest()->setInterval(std::numeric_limits<int>::max());
        ZrleEncoder encoder;
        QImage area(640, 480, QImage::Format_RGB32);
        constexpr int seconds = 10;
        for (int frame = 0; frame < 30 * seconds; ++frame) {
            area.fill(QColor::fromHsv(frame % 360, 200, 200));
            pipe.feed(update(1) + rectHeader(100, 100, 640, 480, 16)
                + encoder.encode(area, area.rect(), {}));
            fakeNow += 33;
            while (client.throttledForTest() || client.parsingPendingForTest()) {
                if (client.throttledForTest()) {
                    fakeNow += client.resumeTimerForTest()->interval();
                    fire(client.resumeTimerForTest());
                } else {
                    QCoreApplication::processEvents();
                }
            }
            QVERIFY(!client.responseTimerForTest()->isActive());
        }
        QCOMPARE(ended.count(), 0);
        QCOMPARE(frames.count(), 1 + 30 * seconds);
        QCOMPARE(client.framebuffer().pixel(300, 300), QColor::fromHsv(299 % 360, 200, 200).rgb());
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
        QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), descriptorsBefore, 10000);
        server.close();
    }
};

QTEST_GUILESS_MAIN(TestHostileServer)
#include "tst_hostileserver.moc"
