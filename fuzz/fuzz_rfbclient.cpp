// libFuzzer target: a hostile panel talking to RfbClient through an in-memory transport.
//
// Built five times: FUZZ_FROM_HANDSHAKE starts every input at the server's first byte; otherwise
// the client is first brought to a running session with a valid ServerInit and the input continues
// from there. FUZZ_ZRLE and FUZZ_HEXTILE run that session with compression on, the second
// without ZRLE offered, so the bytes are mostly Hextile rectangles. FUZZ_VENCRYPT starts at the
// first byte with encryption asked for: the VeNCrypt negotiation before the TLS handshake, which
// an in-memory transport cannot start. The input format is written by fuzz/makeseeds.cpp as well:
//
//   byte 0      handshake mode: bit 0 = reconnect from inside the ended() slot instead of
//               between chunks; vencrypt mode also: bit 1 = Required (else Preferred), bit 2 =
//               a pinned certificate, bit 3 = a user name; session mode: bits 1-6 pick the
//               screen width (1 + value);
//               compressed modes: the screen width, 1 + value (several ZRLE tiles a row)
//   byte 1      session modes only: screen height, 1 + value % 64 (compressed: % 128)
//   records     one header byte h, then a chunk of server bytes:
//                 h & 0x80: the chunk length is the next big-endian u16 (0 = no bytes, but the
//                           client is asked for a full update and given a key and a pointer event)
//                 else      length = {1, 2, 3, 4, 5, 8, 16, rest of input}[(h >> 4) & 7]
//               after the chunk: h & 1 runs pending events (the parse continuation),
//               h & 2 fires the response timer, h & 4 the update timer, h & 8 the keep-alive,
//               each only if it is running, as a real timer would.
//
// Invariants checked on every input (abort on violation): ended() at most once per attempt and
// only after the reset, the retryable flag matches the reason, the buffered bytes and the
// framebuffer stay within their limits, a live session always has a framebuffer; in the session
// modes the framebuffer keeps the ServerInit's size until the stream carries a DesktopSize, no
// rectangle of an encoding the client did not ask for is taken, and every pixel stays opaque; in
// the vencrypt mode under Required nothing past the subtype choice ever leaves in clear.
#include "fuzzsupport.h"
#include "rfbclient.h"
#include "rfbtestserver.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr qint64 bufferLimit = 75497472;
constexpr qint32 hextileEncoding = 5;
constexpr qint32 zrleEncoding = 16;
const QByteArray desktopSizeBytes("\xff\xff\xff\x21", 4); // -223, big-endian

void fire(QTimer *timer)
{
    if (!timer->isActive())
        return;
    if (timer->isSingleShot())
        timer->stop();
    QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection);
}

struct Harness
{
    PipeTransport pipe;
    std::unique_ptr<RfbClient> client = std::make_unique<RfbClient>(nullptr, &pipe);
    bool reconnectInSlot = false;
    bool sessionMode = false;
    bool compression = false;
    bool zrleOffered = true;
    bool desktopSizeSeen = false; // the stream so far holds the DesktopSize encoding's bytes
    QByteArray lastBytes; // the stream's last three bytes, for a pattern across two chunks
    quint16 width = 1;
    quint16 height = 1;
    int endedThisAttempt = 0;
    int attempts = 0;
    RfbClient::Encryption encryption = RfbClient::Encryption::Off;
    bool pinned = false;
    bool userName = false;
    qsizetype writtenThisAttempt = 0;

    Harness()
    {
        QObject::connect(client.get(), &RfbClient::ended, client.get(),
            [this](const QString &reason) { onEnded(reason); });
    }

    void checkBounds() const
    {
        check(client->bufferedBytesForTest() <= bufferLimit, "buffer within limit");
        const QImage &fb = client->framebuffer();
        if (!fb.isNull()) {
            check(fb.width() >= 1 && fb.width() <= 8192 && fb.height() >= 1 && fb.height() <= 8192
                    && qint64(fb.width()) * fb.height() <= 16777216,
                "framebuffer size within limits");
            check(fb.format() == QImage::Format_RGB32, "framebuffer format");
        }
        if (client->isLive())
            check(!fb.isNull(), "live session has a framebuffer");
        if (!sessionMode)
            return;
        if (!desktopSizeSeen)
            check(fb.isNull() || fb.size() == QSize(width, height),
                "framebuffer keeps its size without a DesktopSize");
        check((compression || client->rectanglesForTest(hextileEncoding) == 0)
                && ((compression && zrleOffered) || client->rectanglesForTest(zrleEncoding) == 0),
            "only the encodings asked for are decoded");
    }

    // Every pixel of an RGB32 image must be opaque; a decoder that leaves one otherwise draws
    // wrongly. Once per input: it reads the whole frame.
    void checkOpaque() const
    {
        const QImage &fb = client->framebuffer();
        for (int y = 0; y < fb.height(); ++y) {
            const auto *row = reinterpret_cast<const quint32 *>(fb.constScanLine(y));
            for (int x = 0; x < fb.width(); ++x)
                check((row[x] & 0xFF000000u) == 0xFF000000u, "framebuffer pixels opaque");
        }
    }

    void onEnded(const QString &reason)
    {
        ++endedThisAttempt;
        check(endedThisAttempt == 1, "ended once per attempt");
        check(client->stateForTest() == RfbClient::Idle, "idle when ended");
        check(client->bufferedBytesForTest() == 0, "buffer cleared when ended");
        check(client->passwordBytesForTest() == 0, "password wiped when ended");
        check(!client->updateTimerForTest()->isActive()
                && !client->responseTimerForTest()->isActive()
                && !client->keepAliveTimerForTest()->isActive(),
            "timers stopped when ended");
        const bool transportText = reason == QStringLiteral("Поток данных закрыт")
            || reason == QStringLiteral("Сервер не завершил ответ за 12 секунд");
        // A server's own failure reason may say anything, so only the flag of the fixed texts is
        // pinned; a transport text must always be retryable and nothing else may be.
        if (transportText)
            check(client->retryable(), "transport failure is retryable");
        else
            check(!client->retryable(), "protocol failure is not retryable");
        takeWritten();
        if (reconnectInSlot && pipe.isOpen())
            start();
    }

    void start()
    {
        ++attempts;
        endedThisAttempt = 0;
        // A new connection in session mode is a fresh stream; in handshake mode whatever the last
        // attempt left unread is the next attempt's first bytes.
        if (sessionMode && pipe.isOpen())
            pipe.readAll();
        client->setCompression(compression);
        client->setZrleOfferedForTest(zrleOffered);
        client->setEncryption(encryption);
        client->setTrustedCertificate(pinned ? QByteArray(32, '\xab') : QByteArray());
        client->setUserName(userName ? QStringLiteral("operator") : QString());
        writtenThisAttempt = 0;
        client->connectToPanel(QStringLiteral("panel"), 5900, QStringLiteral("secret"));
        if (sessionMode) {
            pipe.feed(rfbwire::handshake38None(width, height));
            // A busy machine may cut the parse into slices; let the continuations run.
            for (int i = 0; i < 1000 && client->stateForTest() != RfbClient::Running; ++i)
                QCoreApplication::processEvents();
            check(client->stateForTest() == RfbClient::Running, "valid handshake reaches Running");
        }
        takeWritten();
    }

    // Version, type 19, VeNCrypt's version and the subtype: all that may go out before TLS.
    void takeWritten()
    {
        writtenThisAttempt += pipe.takeWritten().size();
        if (encryption == RfbClient::Encryption::Required)
            check(writtenThisAttempt <= 12 + 1 + 2 + 4, "nothing in clear after the subtype");
    }

    void feed(const uint8_t *data, size_t size)
    {
        if (client->stateForTest() == RfbClient::Idle)
            start();
        const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
        // Conservative: any occurrence of the encoding number may be a DesktopSize rectangle.
        const QByteArray seen = lastBytes + bytes;
        desktopSizeSeen = desktopSizeSeen || seen.contains(desktopSizeBytes);
        lastBytes = seen.right(3);
        pipe.feed(bytes);
        checkBounds();
    }

    void act(uint8_t h)
    {
        if (h & 1)
            QCoreApplication::processEvents();
        if (h & 2)
            fire(client->responseTimerForTest());
        if (h & 4)
            fire(client->updateTimerForTest());
        if (h & 8)
            fire(client->keepAliveTimerForTest());
        checkBounds();
        takeWritten();
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qInstallMessageHandler(quiet);
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Harness h;
#if defined(FUZZ_FROM_HANDSHAKE) || defined(FUZZ_VENCRYPT)
    const size_t prefix = 1;
#else
    const size_t prefix = 2;
    h.sessionMode = true;
#endif
#if defined(FUZZ_ZRLE) || defined(FUZZ_HEXTILE)
    h.compression = true;
#endif
#ifdef FUZZ_HEXTILE
    h.zrleOffered = false;
#endif
    if (size < prefix)
        return 0;
#ifdef FUZZ_VENCRYPT
    h.encryption = data[0] & 2 ? RfbClient::Encryption::Required : RfbClient::Encryption::Preferred;
    h.pinned = data[0] & 4;
    h.userName = data[0] & 8;
#endif
    // The slot only restarts the attempt; feeding a handshake from inside it would nest parsing
    // in a way no socket ever does, so the session mode always reconnects between chunks.
    h.reconnectInSlot = !h.sessionMode && (data[0] & 1);
    // The compressed modes reach 256 x 128: rectangles of several ZRLE tiles both ways, while a
    // whole screen stays cheap enough to decode many times per input.
    if (h.compression) {
        h.width = quint16(1 + data[0]);
        h.height = quint16(1 + data[1] % 128);
    } else {
        h.width = quint16(1 + ((data[0] >> 1) & 0x3F));
        h.height = quint16(1 + (prefix > 1 ? data[1] % 64 : 0));
    }
    h.start();

    static const size_t lengths[8] = { 1, 2, 3, 4, 5, 8, 16, 0 };
    size_t pos = prefix;
    while (pos < size) {
        const uint8_t head = data[pos++];
        size_t length;
        bool inputs = false;
        if (head & 0x80) {
            if (size - pos < 2)
                break;
            length = size_t(data[pos]) << 8 | data[pos + 1];
            pos += 2;
            inputs = length == 0;
        } else {
            const size_t code = (head >> 4) & 7;
            length = code == 7 ? size - pos : lengths[code];
        }
        if (length > size - pos)
            length = size - pos;
        if (inputs) {
            h.client->requestFullUpdate();
            h.client->sendKey(0xFF0D, true);
            h.client->sendPointer(0xFFFF, 0xFFFF, 0xFF);
        }
        h.feed(data + pos, length);
        pos += length;
        h.act(head);
    }

    // Whatever is still queued runs, then the stream closes under the client.
    QCoreApplication::processEvents();
    h.checkBounds();
    if (h.sessionMode)
        h.checkOpaque();
    const bool wasIdle = h.client->stateForTest() == RfbClient::Idle;
    const int before = h.endedThisAttempt;
    h.reconnectInSlot = false;
    h.pipe.closeFromServer();
    if (!wasIdle)
        check(h.endedThisAttempt == before + 1, "a closed stream ends a live attempt");
    h.client.reset();
    QCoreApplication::processEvents();
    return 0;
}
