// Writes the seed corpus of the RFB client fuzz targets: valid sessions of versions 3.3, 3.7 and
// 3.8 with security None and VNC Authentication, every server message type and the Raw,
// CopyRect and DesktopSize encodings, framed the way fuzz_rfbclient.cpp reads its input.
//
//   fuzz_makeseeds <corpus dir>    (writes <dir>/handshake/*.bin and <dir>/session/*.bin)
#include "rfbtestserver.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QList>

#include <cstdio>

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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
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
    return ok ? 0 : 1;
}
