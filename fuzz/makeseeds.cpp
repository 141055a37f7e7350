// Writes the seed corpus of the fuzz targets:
//  - the RFB client: valid sessions of versions 3.3, 3.7 and 3.8 with security None and VNC
//    Authentication, every server message type and the Raw, CopyRect and DesktopSize encodings,
//    framed the way fuzz_rfbclient.cpp reads its input (<dir>/handshake, <dir>/session);
//  - its compressed sessions: the demo server's own ZRLE and Hextile encodings of a demo panel's
//    screen and of busy pictures with every subencoding (<dir>/zrle, <dir>/hextile);
//  - the loaders: exchange files, stored "profiles", "workspaceV2" and "journalV2" values and
//    settings files, as the program writes them and damaged (<dir>/exchangefile, profiles,
//    workspace, journal, settingsfile).
//
//   fuzz_makeseeds <corpus dir>
#include "demopanel.h"
#include "exchangefile.h"
#include "hextileencoder.h"
#include "journal.h"
#include "rfbtestserver.h"
#include "workspacedocument.h"
#include "zrleencoder.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QSettings>
#include <QTemporaryDir>

// Input stays const: inflate never writes to it.
#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <utility>

using namespace rfbwire;

namespace {

// After-chunk actions of the input format.
constexpr quint8 runEvents = 1;
constexpr quint8 fireResponse = 2;
constexpr quint8 fireUpdate = 4;
constexpr quint8 fireKeepAlive = 8;

struct Chunk
{
    QByteArray bytes;
    quint8 actions = runEvents | fireUpdate;
};

// Each chunk as a u16-length record (longer ones are cut into several).
QByteArray frame(const QList<Chunk> &chunks)
{
    QByteArray out;
    for (const Chunk &c : chunks) {
        qsizetype pos = 0;
        do {
            const qsizetype n = std::min<qsizetype>(c.bytes.size() - pos, 0xFFFF);
            out += char(0x80 | c.actions);
            out += u16(quint16(n));
            out += c.bytes.mid(pos, n);
            pos += n;
        } while (pos < c.bytes.size());
    }
    return out;
}

// The same bytes one at a time (length code 0), running events after each.
QByteArray frameBytewise(const QByteArray &bytes)
{
    QByteArray out;
    for (char b : bytes) {
        out += char(runEvents);
        out += b;
    }
    return out;
}

QByteArray patternRaw(quint16 x, quint16 y, quint16 w, quint16 h)
{
    QByteArray bytes = rectHeader(x, y, w, h, 0);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            bytes += char((x + c) * 7 + y + r);
            bytes += char((x + c) ^ ((y + r) * 3));
            bytes += char((y + r) * 5 + 11);
            bytes += char(0xEE);
        }
    return bytes;
}

QByteArray colourMap(quint16 first, quint16 count)
{
    QByteArray b = u8(1) + u8(0) + u16(first) + u16(count);
    for (int i = 0; i < count; ++i)
        b += u16(quint16(i * 257)) + u16(0x8000) + u16(quint16(0xFFFF - i));
    return b;
}

const QByteArray challenge = QByteArray::fromHex("00112233445566778899aabbccddeeff");

// Everything a panel of w x h may say in a running session, one message per chunk.
QList<Chunk> sessionMessages(quint16 w, quint16 h)
{
    const quint16 hw = quint16(std::max(1, w / 2)), hh = quint16(std::max(1, h / 2));
    return {
        { update(2) + solidRaw(0, 0, w, h, 0x336699) + patternRaw(0, 0, hw, hh) },
        { update(1) + copyRect(quint16(w - hw), quint16(h - hh), hw, hh, 0, 0) },
        { colourMap(0, 3) },
        { bell() },
        { cutText(12) },
        { update(0) },
        { update(3) + desktopSize(quint16(w + 3), quint16(h + 2)) + patternRaw(1, 1, w, h)
            + copyRect(0, 0, 2, 2, 1, 1) },
        { update(1) + rectHeader(0, 0, 0, 0, 0) },
        { QByteArray(), fireKeepAlive },
        { update(1) + solidRaw(0, 0, 1, 1, 0xFF0000), runEvents | fireUpdate | fireKeepAlive },
    };
}

QByteArray handshake(int minor, bool vncAuth, quint16 w, quint16 h)
{
    QByteArray b = version(minor);
    if (minor == 3)
        b += u32(vncAuth ? 2 : 1);
    else
        b += vncAuth ? securityTypes({ 1, 2 }) : securityTypes({ 1 });
    if (vncAuth)
        b += challenge + u32(0);
    else if (minor >= 8)
        b += u32(0);
    return b + serverInit(w, h, "panel");
}

bool write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// The same bytes in chunks of `size`, so rectangles and zlib blocks are cut mid-way.
QList<Chunk> pieces(const QByteArray &bytes, qsizetype size)
{
    QList<Chunk> out;
    for (qsizetype pos = 0; pos < bytes.size(); pos += size)
        out.append({ bytes.mid(pos, size) });
    return out;
}

// The server's bytes of one compressed session, in the order they are added: a ZRLE encoder is
// one connection's stream, so its rectangles must be encoded in wire order (calls chained, never
// operands of one `+`, whose order C++ leaves open).
class CompressedSession
{
public:
    // With `stored`, ZRLE tiles go out in stored (uncompressed) deflate blocks of the same stream,
    // a form any zlib stream may take: a mutation of a tile byte then reaches the tile decoder
    // instead of breaking the compression.
    explicit CompressedSession(qint32 encoding, bool stored = false)
        : encoding(encoding)
        , stored(stored)
    {
        if (inflateInit(&inflater) != Z_OK)
            qFatal("zlib could not start");
    }
    ~CompressedSession() { inflateEnd(&inflater); }
    CompressedSession(const CompressedSession &) = delete;
    CompressedSession &operator=(const CompressedSession &) = delete;

    CompressedSession &add(const QByteArray &bytes)
    {
        out += bytes;
        return *this;
    }
    // The `source` area of `image` as one rectangle at `at` on the panel's screen.
    CompressedSession &rect(const QImage &image, const QRect &source, QPoint at)
    {
        out += rectHeader(quint16(at.x()), quint16(at.y()), quint16(source.width()),
            quint16(source.height()), encoding);
        if (encoding != 16)
            out += HextileEncoder::encode(image, source, {});
        else if (!stored)
            out += zrle.encode(image, source, {});
        else
            out += restored(zrle.encode(image, source, {}));
        return *this;
    }
    // The bytes added since the last take().
    QByteArray take() { return std::exchange(out, QByteArray()); }

private:
    // A ZRLE rectangle's length and zlib bytes, the tiles written again in stored blocks.
    QByteArray restored(const QByteArray &body)
    {
        QByteArray tiles(1 << 20, Qt::Uninitialized); // far more than a seed's rectangle
        inflater.next_in = reinterpret_cast<const Bytef *>(body.constData() + 4);
        inflater.avail_in = uInt(body.size() - 4);
        inflater.next_out = reinterpret_cast<Bytef *>(tiles.data());
        inflater.avail_out = uInt(tiles.size());
        if (inflate(&inflater, Z_SYNC_FLUSH) != Z_OK || inflater.avail_in != 0)
            qFatal("the demo server's ZRLE did not inflate");
        tiles.resize(tiles.size() - qsizetype(inflater.avail_out));
        QByteArray blocks = streamStarted ? QByteArray() : QByteArray("\x78\x01", 2);
        streamStarted = true;
        for (qsizetype pos = 0; pos < tiles.size(); pos += 0xFFFF) {
            const quint16 n = quint16(std::min<qsizetype>(tiles.size() - pos, 0xFFFF));
            // Not the final block, type stored; the lengths are little-endian.
            blocks += u8(0) + u8(n & 0xFF) + u8(n >> 8) + u8(~n & 0xFF) + u8(quint16(~n) >> 8);
            blocks += tiles.mid(pos, n);
        }
        return u32(quint32(blocks.size())) + blocks;
    }

    qint32 encoding;
    bool stored;
    ZrleEncoder zrle;
    z_stream inflater {};
    bool streamStarted = false;
    QByteArray out;
};

// A demo panel's screen at its first frame (the clock in its top right corner is left out of
// every area taken: it shows the time of day) and after the start button was pressed.
struct PanelScreens
{
    QImage stopped;
    QImage running;
};

PanelScreens panelScreens()
{
    DemoPanel panel(QStringLiteral("Пресс-линия №1"), QSize(800, 480), QSize(1024, 600));
    PanelScreens screens;
    screens.stopped = panel.image();
    const QPoint start = DemoPanel::kStartButton.center();
    panel.pointerEvent(start.x(), start.y(), 1);
    panel.pointerEvent(start.x(), start.y(), 0);
    screens.running = panel.image();
    return screens;
}

// Screen size prefix of the compressed modes: width 1 + byte 0, height 1 + byte 1 % 128.
QByteArray compressedScreen(int w, int h)
{
    return u8(quint8(w - 1)) + u8(quint8(h - 1));
}

// Sessions of one compressed encoding (16 ZRLE, 5 Hextile) on screens of up to 256 x 128.
bool writeCompressedSeeds(const QDir &dir, qint32 encoding)
{
    bool ok = true;
    const PanelScreens panel = panelScreens();
    // The buttons, the state area and the labels under the header, then what pressing the start
    // button changed. Hextile sends most tiles of text raw: its screen is smaller.
    const int w = encoding == 5 ? 120 : 200, h = w / 2;
    {
        CompressedSession session(encoding);
        QList<Chunk> chunks {
            { session.add(update(1)).rect(panel.stopped, QRect(0, 48, w, h), QPoint()).take() }
        };
        chunks
            += pieces(session.add(update(3))
                          .rect(panel.running, QRect(16, 136, w / 2 + 22, 40), QPoint(16, h - 40))
                          .rect(panel.running, QRect(320, 64, w / 4 + 6, h / 2 + 2),
                              QPoint(w - w / 4 - 16, 2))
                          .rect(panel.running, QRect(20, 70, 1, 1), QPoint(w - 1, h - 1))
                          .take(),
                97);
        chunks.append({ session.add(update(2))
                            .add(copyRect(0, quint16(h / 2), quint16(w / 2), quint16(h / 2),
                                quint16(w / 2), 0))
                            .rect(panel.running, QRect(), QPoint())
                            .take() });
        chunks.append({ session.add(update(1))
                            .rect(panel.stopped, QRect(16, 184, w - 6, 22), QPoint(3, h - 28))
                            .take() });
        ok &= write(dir.filePath(QStringLiteral("panel_%1x%2.bin").arg(w).arg(h)),
            compressedScreen(w, h) + frame(chunks));
    }
    // Every subencoding: variedPicture() gives each 64 x 64 cell of a row one kind of content
    // (one colour, 2, 4 and 11 colours at every pixel, rows of one colour, short runs of many,
    // lines, noise); parts of each cell keep the seed small, the noise smallest.
    const QImage varied = variedPicture(QSize(512, 64));
    {
        CompressedSession session(encoding);
        session.add(update(8));
        for (int kind = 0; kind < 8; ++kind) {
            const int side = (kind == 7 ? 16 : 40) / (encoding == 5 ? 2 : 1);
            session.rect(varied, QRect(64 * kind, 0, side, side),
                QPoint(48 * (kind % 4) + 13, 64 * (kind / 4) + 3));
        }
        QList<Chunk> chunks { { session.take() } };
        // One rectangle of several tiles both ways, cut at its right and bottom edges.
        chunks.append({ session.add(update(1))
                            .rect(varied, QRect(0, 0, encoding == 5 ? 70 : 130, 40), QPoint(1, 80))
                            .take() });
        ok &= write(dir.filePath("varied_256x128.bin"), compressedScreen(256, 128) + frame(chunks));
    }
    // A small screen that a DesktopSize makes larger, then the whole new screen.
    {
        CompressedSession session(encoding);
        QList<Chunk> chunks {
            { session.add(update(1)).rect(panel.stopped, QRect(16, 64, 40, 24), QPoint()).take() }
        };
        chunks.append({ session.add(update(2))
                            .add(desktopSize(70, 66))
                            .rect(panel.running, QRect(10, 120, 70, 66), QPoint())
                            .take() });
        ok &= write(dir.filePath("resized_40x24.bin"), compressedScreen(40, 24) + frame(chunks));
    }
    // The tiles of every subencoding, and a panel's, in stored blocks.
    if (encoding == 16) {
        CompressedSession session(encoding, true);
        session.add(update(9));
        for (int kind = 0; kind < 8; ++kind)
            session.rect(varied, QRect(64 * kind, 0, 16, 16), QPoint(16 * kind, 0));
        session.rect(panel.stopped, QRect(16, 64, 80, 24), QPoint(0, 16));
        ok &= write(dir.filePath("stored_128x40.bin"),
            compressedScreen(128, 40) + frame({ { session.take() } }));
    }
    // A small session one byte at a time.
    {
        CompressedSession session(encoding);
        const QByteArray all = session.add(update(2))
                                   .rect(panel.stopped, QRect(170, 62, 20, 12), QPoint())
                                   .rect(varied, QRect(128, 0, 9, 7), QPoint(11, 5))
                                   .add(update(1))
                                   .rect(panel.running, QRect(16, 136, 20, 12), QPoint())
                                   .take();
        ok &= write(
            dir.filePath("bytewise_20x12.bin"), compressedScreen(20, 12) + frameBytewise(all));
    }
    return ok;
}

PanelProfile panel(int n, const QString &name, const QString &host, int port, const QString &group)
{
    PanelProfile p;
    p.id = QStringLiteral("5eed0000-0000-4000-8000-00000000000%1").arg(n); // same seeds each run
    p.name = name;
    p.host = host;
    p.port = port;
    p.group = group;
    p.notes = QStringLiteral("Цех 2, шкаф управления \"А\"\nвторая строка");
    p.reconnect = true;
    return p;
}

const AddressBook sampleBook = {
    panel(1, QStringLiteral("Пресс-линия №1"), QStringLiteral("192.168.10.21"), 5900,
        QStringLiteral("Цех 1")),
    panel(2, QStringLiteral("Экструдер"), QStringLiteral("panel-2.plant.local"), 5901, QString()),
    panel(3, QStringLiteral("Насосная"), QStringLiteral("fe80::1"), 65535, QStringLiteral("Цех 1")),
};

// The stored "profiles" value: the keys and order saveProfiles writes.
QJsonObject storedProfile(const PanelProfile &p)
{
    return QJsonObject { { "id", p.id }, { "name", p.name }, { "host", p.host }, { "port", p.port },
        { "group", p.group }, { "notes", p.notes }, { "viewOnly", p.viewOnly },
        { "reconnect", p.reconnect }, { "remember", p.remember } };
}

QByteArray compact(const QJsonArray &a)
{
    return QJsonDocument(a).toJson(QJsonDocument::Compact);
}

// Valid values, each followed by the same cut in half (a write torn by a crash).
bool writeWithTorn(const QDir &dir, const QString &name, const QByteArray &bytes)
{
    return write(dir.filePath(name + ".json"), bytes)
        && write(dir.filePath(name + "_torn.json"), bytes.left(bytes.size() / 2));
}

bool writeLoaderSeeds(const QDir &root)
{
    for (const char *mode :
        { "exchangefile", "profiles", "workspace", "journal", "settingsfile" }) {
        if (!root.mkpath(mode))
            return false;
    }
    bool ok = true;

    const QDir exchange(root.filePath("exchangefile"));
    ok &= writeWithTorn(exchange, "book", buildExchangeFile(sampleBook));
    ok &= write(exchange.filePath("empty.json"), buildExchangeFile({}));
    const auto exchangeWith = [](const QJsonValue &version, const QJsonArray &panels) {
        return QJsonDocument(QJsonObject { { "format", "pelorin-addressbook" },
                                 { "version", version }, { "panels", panels } })
            .toJson(QJsonDocument::Compact);
    };
    const QJsonObject good { { "name", " Печь " }, { "host", " 10.0.0.7 " }, { "port", 5900 } };
    ok &= write(exchange.filePath("version1.json"), exchangeWith(1, { good }));
    ok &= write(exchange.filePath("version_text.json"), exchangeWith("2", { good }));
    ok &= write(exchange.filePath("minimal.json"), exchangeWith(2, { good }));
    QJsonObject bad = good;
    bad["port"] = 5900.5;
    ok &= write(exchange.filePath("fraction_port.json"), exchangeWith(2, { good, bad }));
    bad["port"] = 0;
    ok &= write(exchange.filePath("port_zero.json"), exchangeWith(2, { bad }));
    bad = good;
    bad["host"] = "http://10.0.0.7/";
    ok &= write(exchange.filePath("host_path.json"), exchangeWith(2, { bad }));
    bad = good;
    bad.remove("host");
    ok &= write(exchange.filePath("no_host.json"), exchangeWith(2, { good, bad, "x" }));
    ok &= write(exchange.filePath("array_top.json"), compact({ good }));
    // A panel without a name and a host longer than a name may be (a finding of the fuzzer).
    ok &= write(exchange.filePath("long_host_no_name.json"),
        exchangeWith(2, { QJsonObject { { "host", QString(PanelProfile::maxHostLength, 'h') } } }));

    // Encrypted panels: the members as the export writes them, a pin that is not one, and a
    // row whose encryption is misspelt (a bad row, never a plain panel).
    AddressBook encrypted = sampleBook;
    encrypted[0].encryption = PanelProfile::Encryption::Required;
    encrypted[0].certificateSha256 = QString(64, 'a');
    encrypted[1].encryption = PanelProfile::Encryption::Preferred;
    encrypted[1].userName = QStringLiteral("оператор");
    encrypted[2].certificateSha256 = QStringLiteral("AB:CD");
    ok &= write(exchange.filePath("encrypted.json"), buildExchangeFile(encrypted));
    QJsonObject misspelt = good;
    misspelt["encryption"] = "requierd";
    ok &= write(exchange.filePath("encryption_unknown.json"), exchangeWith(2, { good, misspelt }));

    const QDir profiles(root.filePath("profiles"));
    QJsonArray stored;
    for (const PanelProfile &p : sampleBook)
        stored.append(storedProfile(p));
    ok &= writeWithTorn(profiles, "book", compact(stored));
    ok &= write(profiles.filePath("empty.json"), "[]");
    QJsonObject twin = storedProfile(sampleBook.at(0));
    twin["remember"] = true;
    ok &= write(profiles.filePath("repeated_id.json"), compact({ stored.at(0), twin }));
    QJsonObject odd = storedProfile(sampleBook.at(1));
    odd["port"] = 70000;
    QJsonObject noId = storedProfile(sampleBook.at(2));
    noId.remove("id");
    ok &= write(profiles.filePath("dropped.json"), compact({ stored.at(0), odd, noId, 7 }));
    odd["port"] = "5901";
    QJsonObject fraction = storedProfile(sampleBook.at(2));
    fraction["port"] = 1e300;
    ok &= write(profiles.filePath("odd_ports.json"), compact({ odd, fraction }));
    QJsonObject required = storedProfile(sampleBook.at(0));
    required["encryption"] = "required";
    required["certificateSha256"] = QString(64, 'a');
    QJsonObject unknown = storedProfile(sampleBook.at(1));
    unknown["encryption"] = "Preferred";
    unknown["userName"] = "оператор";
    QJsonObject numericPin = storedProfile(sampleBook.at(2));
    numericPin["certificateSha256"] = 7;
    ok &= write(profiles.filePath("encrypted.json"), compact({ required, unknown, numericPin }));
    ok &= write(profiles.filePath("object_top.json"),
        QJsonDocument(storedProfile(sampleBook.at(0))).toJson(QJsonDocument::Compact));

    const QDir workspace(root.filePath("workspace"));
    WorkspaceDocument document;
    document.mode = 4;
    for (const PanelProfile &p : sampleBook)
        document.sessions.append({ p.id, 2, true });
    document.cellIds = { sampleBook.at(2).id, QString(), sampleBook.at(0).id, sampleBook.at(1).id };
    document.active = sampleBook.at(1).id;
    document.sidebar = false;
    ok &= writeWithTorn(workspace, "four_cells", document.toJson());
    ok &= write(workspace.filePath("default.json"), WorkspaceDocument().toJson());
    ok &= write(workspace.filePath("damaged.json"),
        QJsonDocument(
            QJsonObject { { "mode", 3 },
                { "sessions",
                    QJsonArray { QJsonObject { { "id", "a" }, { "zoom", -1 } },
                        QJsonObject { { "id", "b" }, { "zoom", 1e300 }, { "viewOnly", "yes" } },
                        "c" } },
                { "cellIds", QJsonArray { "a", "a", 5, "b", "c", "d" } }, { "active", false },
                { "sidebar", 0 } })
            .toJson(QJsonDocument::Compact));

    // Settings files as the program leaves them: a journal beside the other keys; and the
    // journal's value by itself, framed as fuzz_loaders.cpp reads it (a type byte, then UTF-16).
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return false;
    const QString path = scratch.filePath("PelorinVNC.conf");
    const QList<QStringList> journals = {
        { "08.12.2026 09:15:02  Пресс-линия №1 · 192.168.10.21:5900 · Начало подключения",
            "08.12.2026 09:15:03  Пресс-линия №1 · 192.168.10.21:5900 · Соединение установлено",
            "08.12.2026 09:20:41  Импорт адресной книги: 3 панелей",
            R"(08.12.2026 09:21:00  a, "b" · c\d:1 · =[x];y @z)" },
        { "08.12.2026 09:15:02  один" },
        {},
    };
    for (qsizetype i = 0; i < journals.size(); ++i) {
        QFile::remove(path);
        {
            QSettings settings(path, QSettings::IniFormat);
            settings.setValue("profiles", compact(stored));
            settings.setValue("workspaceV2", document.toJson());
            Journal journal;
            journal.setLines(journals.at(i));
            journal.saveSettings(settings, "journalV2");
        }
        QFile file(path);
        ok &= file.open(QIODevice::ReadOnly);
        const QByteArray text = file.readAll();
        ok &= write(root.filePath(QStringLiteral("settingsfile/settings%1.conf").arg(i)), text);
        const auto value = [](quint8 type, const QString &content) {
            return u8(type)
                + QByteArray(reinterpret_cast<const char *>(content.utf16()), content.size() * 2);
        };
        ok &= write(root.filePath(QStringLiteral("journal/lines%1.bin").arg(i)),
            value(0, journals.at(i).join(QLatin1Char('\n'))));
        if (i == 0) {
            ok &= write(root.filePath("journal/string.bin"), value(1, journals.at(0).at(0)));
            ok &= write(root.filePath("journal/bytes.bin"), u8(2) + journals.at(0).at(0).toUtf8());
            ok &= write(
                root.filePath("settingsfile/settings_torn.conf"), text.left(text.size() - 40));
            ok &= write(root.filePath("settingsfile/plain_string.conf"),
                "[General]\njournalV2=08.12.2026 09:15:02  \\x43f\\x440\\x435\\x441\n");
            ok &= write(root.filePath("settingsfile/variant.conf"),
                "[General]\njournalV2=@Variant(\\0\\0\\0\\n\\0\\0\\0\\x1\\0\\0\\0\\x2"
                "\\0\\x61)\n");
        }
    }
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    // The demo panel draws its text: that needs a GUI application, not a screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    if (!root.mkpath("handshake") || !root.mkpath("session"))
        return 1;
    bool ok = true;

    // Handshake mode: option byte 0 (reconnect between chunks) or 1 (from inside ended()).
    struct Version
    {
        int wire; // minor number the server announces
        const char *name;
    };
    const QList<Version> versions
        = { { 3, "33" }, { 7, "37" }, { 8, "38" }, { 5, "35" }, { 889, "3889" } };
    for (const Version &v : versions) {
        for (bool vncAuth : { false, true }) {
            const int minor = v.wire >= 8 ? 8 : v.wire == 7 ? 7 : 3;
            QList<Chunk> chunks
                = { { version(v.wire) }, { handshake(v.wire, vncAuth, 24, 16).mid(12) } };
            Q_UNUSED(minor);
            chunks += sessionMessages(24, 16);
            const QString name = QStringLiteral("%1_%2").arg(v.name, vncAuth ? "vnc" : "none");
            ok &= write(root.filePath("handshake/" + name + ".bin"), u8(0) + frame(chunks));
        }
    }
    // The whole of a 3.8 VNC Authentication session one byte at a time.
    {
        QByteArray all = handshake(8, true, 4, 3);
        for (const Chunk &c : sessionMessages(4, 3))
            all += c.bytes;
        ok &= write(root.filePath("handshake/38_vnc_bytewise.bin"), u8(0) + frameBytewise(all));
    }
    // Refusals: empty type list with a reason, 3.3 type 0 with a reason, a rejected password
    // followed by a second attempt reconnected from inside ended().
    ok &= write(root.filePath("handshake/38_refused.bin"),
        u8(0) + frame({ { version(8) + securityTypes({}) + failureReason("busy") } }));
    ok &= write(root.filePath("handshake/33_refused.bin"),
        u8(0) + frame({ { version(3) + u32(0) + failureReason("no") } }));
    ok &= write(root.filePath("handshake/38_rejected_then_none.bin"),
        u8(1)
            + frame({ { version(8) + securityTypes({ 2 }) + challenge + u32(1) },
                { handshake(8, false, 8, 8) } }));
    // A handshake that stalls until the response timer fires.
    ok &= write(root.filePath("handshake/37_stalls.bin"),
        u8(0) + frame({ { version(7) + securityTypes({ 2 }) }, { QByteArray(), fireResponse } }));

    // Session mode: width 1 + (byte0 >> 1), height 1 + byte1 % 64.
    const QList<QSize> screens = { { 32, 16 }, { 1, 1 }, { 64, 64 }, { 17, 5 } };
    for (const QSize &s : screens) {
        const quint16 w = quint16(s.width()), h = quint16(s.height());
        const QByteArray prefix = u8(quint8((w - 1) << 1)) + u8(quint8(h - 1));
        ok &= write(root.filePath(QStringLiteral("session/all_%1x%2.bin").arg(w).arg(h)),
            prefix + frame(sessionMessages(w, h)));
    }
    {
        QByteArray all;
        for (const Chunk &c : sessionMessages(8, 4))
            all += c.bytes;
        ok &= write(
            root.filePath("session/bytewise_8x4.bin"), u8(7 << 1) + u8(3) + frameBytewise(all));
    }
    // An update that leaves a rectangle out until the response timer fires; input messages.
    ok &= write(root.filePath("session/stalled_update.bin"),
        u8(15 << 1) + u8(15)
            + frame({ { update(2) + solidRaw(0, 0, 4, 4, 0x00FF00) },
                { QByteArray(), fireResponse } }));
    ok &= write(root.filePath("session/inputs.bin"),
        u8(15 << 1) + u8(15)
            + frame({ { QByteArray(), 0 }, { update(1) + solidRaw(2, 2, 3, 3, 0x0000FF) },
                { QByteArray(), 0 } }));
    // VeNCrypt: option byte bit 1 Required, bit 2 pinned, bit 3 a user name. Each offer runs to
    // the go-ahead (where an in-memory stream cannot start TLS) or to its refusal.
    ok &= root.mkpath("vencrypt");
    {
        const QByteArray vencrypt02 = QByteArray::fromHex("0002");
        const auto offer = [&](const QList<quint32> &subtypes, const QByteArray &after) {
            QByteArray bytes = vencrypt02 + u8(0) + u8(quint8(subtypes.size()));
            for (const quint32 t : subtypes)
                bytes += u32(t);
            return bytes + after;
        };
        struct Seed
        {
            const char *name;
            quint8 options;
            QList<Chunk> chunks;
        };
        const QList<Seed> seeds = {
            {"38_x509vnc", 0, {{version(8) + securityTypes({2, 19})}, {offer({261, 2}, u8(1))}}},
            {"37_x509plain_user", 8, {{version(7) + securityTypes({19})}, {offer({262}, u8(1))}}},
            {"38_plain_no_user", 0, {{version(8) + securityTypes({19})}, {offer({262}, {})}}},
            {"33_tlsnone", 2, {{version(3) + u32(19)}, {offer({257, 258}, u8(1))}}},
            {"38_pinned_anonymous", 4, {{version(8) + securityTypes({19, 2})}, {offer({257}, {})}}},
            {"38_fallback_vnc", 0,
             {{version(8) + securityTypes({19})},
              {offer({2}, challenge + u32(0)) + serverInit(8, 8, "v")}}},
            {"38_required_plain_types", 2, {{version(8) + securityTypes({1, 2})}}},
            {"38_bad_version", 2, {{version(8) + securityTypes({19}) + QByteArray::fromHex("0001")}}},
            {"38_failed_ack", 2, {{version(8) + securityTypes({19}) + vencrypt02 + u8(1)}}},
            {"38_zero_count", 2, {{version(8) + securityTypes({19}) + vencrypt02 + u8(0) + u8(0)}}},
            {"38_go_refused", 2, {{version(8) + securityTypes({19})}, {offer({260}, u8(0))}}},
            {"38_clear_after_go", 3,
             {{version(8) + securityTypes({19})}, {offer({261}, u8(1) + u32(0))}}},
        };
        for (const Seed &seed : seeds)
            ok &= write(root.filePath(QStringLiteral("vencrypt/%1.bin").arg(seed.name)),
                        u8(seed.options) + frame(seed.chunks));
    }
    ok &= root.mkpath("zrle") && root.mkpath("hextile");
    ok &= writeCompressedSeeds(QDir(root.filePath("zrle")), 16);
    ok &= writeCompressedSeeds(QDir(root.filePath("hextile")), 5);
    ok &= writeLoaderSeeds(root);
    return ok ? 0 : 1;
}
