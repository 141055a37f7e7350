#include "rfbclient.h"

#include "d3des/d3des.h"
#include "panelprofile.h"
#include "socketreceive.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QIODevice>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Room for the largest screen (8192 x 2048 x 4 bytes) plus whatever follows it.
constexpr qint64 bufferLimit = 75497472;
// Bytes moved from the device into the buffer per pull, unless the pending message is known to
// need more. Raw pixels bypass the buffer, so this only carries headers and small messages.
constexpr qsizetype pullChunk = 64 * 1024;
// The same for reads straight from the socket: a header and the start of what follows it.
constexpr qsizetype directPullChunk = 16 * 1024;
// Raw pixel bytes moved per parse step, so the time slices still bound a long rectangle.
constexpr qsizetype rawStepBytes = 2 * 1024 * 1024;
// Raw pixel bytes per read: no more than a core's second-level cache holds until they are
// sealed, and far larger than QIODevice's 16 KiB read chunk, so a device is read directly and
// not through its buffer. Fewer, larger reads cost less per byte (measured 1 MiB against 128 KiB).
constexpr qsizetype rawPiece = 1024 * 1024;
// A buffer this large is released when it runs empty instead of being kept for reuse.
constexpr qsizetype keptCapacity = 8 * 1024 * 1024;
constexpr qint64 sliceNanoseconds = 8 * 1000 * 1000;
// New screens a panel may cause are counted in screen areas of the framebuffer in force. Each
// update request we send grants this many; updates nobody asked for spend from the same
// allowance. It lets a DesktopSize (and five more) through between two requests, but no server
// resizes its screen again and again unasked: a storm of new screens ends the session.
constexpr qint64 workScreens = 24;
// All work beyond the bytes (new screens, CopyRect, decoded pixels) also comes from a budget
// of pixels refilled with time, and reading stops while it is overdrawn: a busy panel is
// slowed, not cut off. The capacity lets a scroll of 16 screens of 1920 x 1080 through at once;
// the rate keeps a storm to a small share of the GUI thread (about a fifth at most on the
// update-path benchmark's machine, for a storm of whole-screen copies on 4096 x 4096).
constexpr qint64 workCapacity = 32 * 1024 * 1024;
constexpr qint64 workPerSecond = 128 * 1024 * 1024;
// A new screen: its allocation and fill, and the whole-screen update it makes us ask for.
constexpr qint64 desktopSizeScreens = 4;
// One screen area, whatever its size, in the allowance's units.
constexpr qint64 screenUnits = 16777216;
// A pass over the input also ends once it has caused this much of that work, so one turn of the
// event loop holds at most this and one step (such as a new screen) on any machine: the clock
// alone lets a fast machine do many screens' worth in one slice.
constexpr qint64 passUnits = screenUnits;
constexpr quint32 textLimit = 65536;
constexpr quint32 cutTextLimit = 1048576;
constexpr int sideLimit = 8192;
constexpr qint64 pixelLimit = 16777216;
constexpr QRgb emptyScreen = 0xFF101820;
constexpr qint32 desktopSizeEncoding = -223;
constexpr qint32 hextileEncoding = 5;
constexpr qint32 zrleEncoding = 16;
// The decrypted bytes a TLS socket may hold: beyond it, not reading pushes back on TCP as on
// the plain path, instead of letting a busy panel fill the 72 MiB the plain socket allows.
constexpr qint64 tlsReadBuffer = 1024 * 1024;
constexpr int sha256Size = 32;

void putU16(char *p, quint16 v)
{
    qToBigEndian<quint16>(v, p);
}

// Overwrites the bytes through a volatile pointer, so the store survives optimisation, then
// releases the buffer. The array must not be shared, or the wipe would hit a detached copy.
void wipe(QByteArray &bytes)
{
    if (!bytes.isEmpty()) {
        volatile char *p = bytes.data();
        for (qsizetype i = 0; i < bytes.size(); ++i)
            p[i] = 0;
    }
    bytes.clear();
}

void wipeRaw(void *data, size_t size)
{
    volatile unsigned char *p = static_cast<unsigned char *>(data);
    for (size_t i = 0; i < size; ++i)
        p[i] = 0;
}

// Wire pixels (blue, green, red, ignored) already copied into a framebuffer row become RGB32
// (0xFFRRGGBB) in place: the pixels completed by the bytes [from, to) of the row. On a
// little-endian machine the wire order is the image's own, so this only sets the alpha byte;
// a pixel cut short keeps its old, opaque alpha byte until its last byte arrives.
void sealPixels(uchar *row, qsizetype from, qsizetype to)
{
    qsizetype c = from / 4;
    const qsizetype end = to / 4;
#if defined(__SSE2__) && Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    // Four pixels at a time: the compiler does not vectorise this loop at -O2 by itself.
    const __m128i alpha = _mm_set1_epi32(int(0xFF000000u));
    for (; c + 4 <= end; c += 4) {
        auto *at = reinterpret_cast<__m128i *>(row + 4 * c);
        _mm_storeu_si128(at, _mm_or_si128(_mm_loadu_si128(at), alpha));
    }
#endif
    auto *pixels = reinterpret_cast<quint32 *>(row);
    for (; c < end; ++c)
        pixels[c] = qFromLittleEndian(pixels[c]) | 0xFF000000u;
}

// The minor number of a well-formed "RFB 003.xxx\n" (three digits), otherwise -1.
int serverMinor(QByteArrayView version)
{
    if (!version.startsWith("RFB 003.") || version.at(11) != '\n')
        return -1;
    int minor = 0;
    for (int i = 8; i < 11; ++i) {
        const char c = version.at(i);
        if (c < '0' || c > '9')
            return -1;
        minor = minor * 10 + (c - '0');
    }
    return minor;
}

} // namespace

// Big-endian fields of the unparsed input, read from its front without taking anything: a step
// takes what the reader went over only once its whole message is there.
class RfbClient::WireReader
{
public:
    enum Status { Ready, Short, TooLong };
    // A u32 length and that many bytes.
    struct Counted
    {
        Status status = Short;
        QByteArrayView bytes;
        qsizetype lacking = 0; // bytes still missing when Short, counted from the length field
    };

    WireReader(const char *data, qsizetype size) : data(data), size(size) { }

    bool hasData(qsizetype n) const { return size - pos >= n; }
    qsizetype consumed() const { return pos; }
    void skip(qsizetype n) { pos += n; }
    quint8 u8() { return quint8(data[pos++]); }
    quint16 u16() { return field<quint16>(); }
    quint32 u32() { return field<quint32>(); }
    qint32 s32() { return qint32(u32()); }
    QByteArrayView bytes(qsizetype n)
    {
        const QByteArrayView view(data + pos, n);
        pos += n;
        return view;
    }
    // Reads the field only when it is wholly buffered; a length above `limit` is TooLong as
    // soon as the length itself is here.
    Counted lengthPrefixed(quint32 limit)
    {
        Counted c;
        if (!hasData(4)) {
            c.lacking = 4;
            return c;
        }
        const quint32 length = qFromBigEndian<quint32>(data + pos);
        if (length > limit) {
            c.status = TooLong;
            return c;
        }
        if (!hasData(4 + qsizetype(length))) {
            c.lacking = 4 + qsizetype(length);
            return c;
        }
        pos += 4;
        c.status = Ready;
        c.bytes = bytes(length);
        return c;
    }

private:
    template<typename T>
    T field()
    {
        const T v = qFromBigEndian<T>(data + pos);
        pos += sizeof(T);
        return v;
    }

    const char *data;
    qsizetype size;
    qsizetype pos = 0;
};

RfbClient::RfbClient(QObject *parent, QIODevice *injectedDevice)
    : QObject(parent), transport(injectedDevice ? injectedDevice : &socket),
      injected(injectedDevice != nullptr), budget(workCapacity, workPerSecond)
{
    responseTimer.setSingleShot(true);
    responseTimer.setInterval(12000);
    updateTimer.setSingleShot(true);
    updateTimer.setInterval(35);
    keepAliveTimer.setSingleShot(false);
    keepAliveTimer.setInterval(15000);

    socket.setReadBufferSize(bufferLimit);
    tlsSocket.setReadBufferSize(bufferLimit);
    // An untrusted certificate stops the handshake until the operator has judged it.
    tlsSocket.setPauseMode(QAbstractSocket::PauseOnSslErrors);

    if (injectedDevice) {
        connect(injectedDevice, &QIODevice::readyRead, this, &RfbClient::handleReadyRead);
        connect(injectedDevice, &QIODevice::aboutToClose, this,
                [this]() { fail(tr("Поток данных закрыт"), true); });
        // A device that disappears under a running session has closed the stream as well.
        connect(injectedDevice, &QObject::destroyed, this,
                [this]() { fail(tr("Поток данных закрыт"), true); });
    }
    for (QTcpSocket *own : {&socket, static_cast<QTcpSocket *>(&tlsSocket)}) {
        // Only the socket of the attempt in progress speaks; the other one is closed.
        connect(own, &QTcpSocket::connected, this, [this, own]() {
            if (own == ownSocket())
                handleConnected();
        });
        if (!injectedDevice) {
            connect(own, &QIODevice::readyRead, this, [this, own]() {
                if (own == ownSocket())
                    handleReadyRead();
            });
            connect(own, &QIODevice::aboutToClose, this, [this, own]() {
                if (own == ownSocket())
                    fail(tr("Поток данных закрыт"), true);
            });
        }
        connect(own, &QAbstractSocket::errorOccurred, this,
                [this, own](QAbstractSocket::SocketError error) {
                    if (own == ownSocket())
                        handleSocketError(error);
                });
        connect(own, &QAbstractSocket::disconnected, this, [this, own]() {
            if (own == ownSocket())
                fail(tr("Соединение закрыто сервером"), true);
        });
    }
    connect(&tlsSocket, &QSslSocket::sslErrors, this, &RfbClient::handleSslErrors);
    connect(&tlsSocket, &QSslSocket::encrypted, this, &RfbClient::handleEncrypted);
    connect(&responseTimer, &QTimer::timeout, this, [this]() {
        endedArriving = updateArriving();
        fail(tr("Сервер не завершил ответ за 12 секунд"), true);
    });
    connect(&updateTimer, &QTimer::timeout, this, &RfbClient::handleUpdateTimer);
    connect(&keepAliveTimer, &QTimer::timeout, this, &RfbClient::handleKeepAlive);
    resumeTimer.setSingleShot(true);
    connect(&resumeTimer, &QTimer::timeout, this, [this]() {
        throttled = false;
        if (state != Idle)
            processInput();
    });
    monotonic.start();
}

RfbClient::~RfbClient()
{
    // The socket member dies before the QObject base; its last signals must not reach us.
    socket.disconnect(this);
    tlsSocket.disconnect(this);
    if (transport)
        transport->disconnect(this);
    disconnectFromPanel();
}

void RfbClient::connectToPanel(const QString &host, quint16 port, const QString &password)
{
    disconnectFromPanel();
    retry = false;
    endedArriving = false;
    fb = QImage();
    askedHextile = compression;
    askedZrle = compression && zrleOffered;
    std::fill(std::begin(rectangleCounts), std::end(rectangleCounts), 0);
    budget.reset(nowMs());
    workDone = 0;
    attemptEncryption = encryption;
    attemptPin = pin;
    attemptUser = userName;
    attemptHost = host;
    userNameNeeded = false;
    decoderRefused = false;
    offeredTypes.clear();
    presentedSha.clear();
    encrypted = false;
    authenticated = false;
    description.clear();
    peerCert = QSslCertificate();
    if (!injected) {
        // A session that may encrypt runs on the TLS socket from its first byte; a plain one
        // keeps the socket it always had, and its direct reads.
        transport = attemptEncryption == Encryption::Off ? static_cast<QIODevice *>(&socket)
                                                         : &tlsSocket;
        tlsSocket.setReadBufferSize(bufferLimit);
    }

    QByteArray latin = password.toLatin1();
    passwordBytes = QByteArray(latin.constData(), std::min<qsizetype>(latin.size(), 8));
    wipe(latin);
    if (attemptEncryption != Encryption::Off)
        plainPassword = password.toUtf8();

    state = AwaitVersion;
    emit status(tr("Подключение к %1:%2…").arg(host, QString::number(port)));
    if (state != AwaitVersion)
        return;
    responseTimer.start();

    if (QTcpSocket *own = ownSocket()) {
        own->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    } else if (transport) {
        if (!transport->isOpen())
            transport->open(QIODevice::ReadWrite);
        // Bytes that were waiting in the device before the attempt would raise no new readyRead.
        if (transport->bytesAvailable() > 0)
            scheduleContinuation();
    }
}

void RfbClient::disconnectFromPanel()
{
    state = Idle;
    ++attempt;
    responseTimer.stop();
    updateTimer.stop();
    keepAliveTimer.stop();
    if (QTcpSocket *own = ownSocket()) {
        // The session releases held keys and buttons just before this reset;
        // hand them to the system before the abort discards unsent output,
        // or a key could stay pressed on the panel.
        if (own->state() == QAbstractSocket::ConnectedState && own->bytesToWrite() > 0)
            own->flush();
        own->abort();
    }
    setDirectRead(false);
    inputBuffer.clear();
    readPos = 0;
    pendingSize = 0;
    wipe(passwordBytes);
    wipe(plainPassword);
    awaitingOperator = false;
    encrypted = false; // the description and certificate stay readable until the next attempt
    authenticated = false;
    waitingSha.clear();
    viaVeNCrypt = false;
    subtype = 0;
    rectanglesLeft = 0;
    rawArea = QRect();
    decoding = nullptr;
    zrle.reset();
    hextile.reset();
    damage.clear();
    fullUpdatePending = false;
    workLeft = 0;
    throttled = false;
    overdrawn = false;
    resumeTimer.stop();
}

void RfbClient::requestFullUpdate()
{
    if (!isLive())
        return;
    fullUpdatePending = true;
    if (state == Running) {
        sendUpdateRequest(false);
        fullUpdatePending = false;
    }
}

void RfbClient::sendKey(quint32 keysym, bool down)
{
    if (!isLive())
        return;
    char message[8] = {4, char(down ? 1 : 0), 0, 0};
    qToBigEndian<quint32>(keysym, message + 4);
    writeBytes(message, sizeof message);
}

void RfbClient::sendPointer(quint16 x, quint16 y, quint8 buttonMask)
{
    if (!isLive())
        return;
    char message[6] = {5, char(buttonMask)};
    putU16(message + 2, x);
    putU16(message + 4, y);
    writeBytes(message, sizeof message);
}

const QImage &RfbClient::framebuffer() const
{
    return fb;
}

bool RfbClient::isLive() const
{
    return state == Running || state == ReadingRectangles;
}

bool RfbClient::retryable() const
{
    return retry;
}

int RfbClient::busiestPassForTest() const
{
    return int((mostPassWork + screenUnits - 1) / screenUnits);
}

bool RfbClient::updateArriving() const
{
    if (state != ReadingRectangles)
        return endedArriving;
    if (lastArrival.isValid() && lastArrival.elapsed() < responseTimer.interval() / 4)
        return true;
    // Bytes we chose not to read yet (the receive low-water mark, a parse slice) did come: that
    // time is ours, not the panel's.
    if (readPos < inputBuffer.size() || (transport && transport->bytesAvailable() > 0))
        return true;
    return readingDirectly && SocketReceive::unread(socket.socketDescriptor()) > 0;
}

qsizetype RfbClient::bufferedBytesForTest() const
{
    return inputBuffer.size() - readPos;
}

qint64 RfbClient::rectanglesForTest(qint32 encoding) const
{
    switch (encoding) {
    case 0:
        return rectangleCounts[0];
    case 1:
        return rectangleCounts[1];
    case hextileEncoding:
        return rectangleCounts[2];
    case zrleEncoding:
        return rectangleCounts[3];
    default:
        return 0;
    }
}

void RfbClient::fail(const QString &reason, bool retryable)
{
    if (state == Idle)
        return;
    disconnectFromPanel();
    retry = retryable;
    emit ended(reason);
}

void RfbClient::handleConnected()
{
    QTcpSocket *own = ownSocket();
    if (!own || state == Idle)
        return;
    own->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    own->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    emit status(tr("Согласование подключения…"));
}

void RfbClient::handleReadyRead()
{
    if (state == Idle || throttled)
        return;
    if (state == ReadingRectangles)
        lastArrival.start();
    processInput();
}

void RfbClient::handleSocketError(QAbstractSocket::SocketError error)
{
    QTcpSocket *own = ownSocket();
    if (!own)
        return;
    // The operator reads Russian: the common failures get texts of their own, the rare ones keep
    // Qt's. Qt reports a server's close as an error before "disconnected".
    switch (error) {
    case QAbstractSocket::RemoteHostClosedError:
        fail(tr("Соединение закрыто сервером"), true);
        break;
    case QAbstractSocket::ConnectionRefusedError:
        fail(tr("Панель отклонила подключение"), true);
        break;
    case QAbstractSocket::HostNotFoundError:
        fail(tr("Адрес панели не найден"), true);
        break;
    case QAbstractSocket::NetworkError:
        fail(tr("Сеть недоступна"), true);
        break;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        fail(tr("Не удалось установить шифрованное соединение: %1").arg(own->errorString()),
             false);
        break;
    default:
        fail(own->errorString(), true);
        break;
    }
}

void RfbClient::processInput()
{
    // Paused for the budget: the resume timer picks the input up again.
    if (throttled)
        return;
    QElapsedTimer clock;
    clock.start();
    drained = false;
    passWork = 0;
    // A slot on ended() may start a new attempt from inside a step: nothing of this pass, which
    // belongs to the old one, may run on after that.
    const quint64 current = attempt;
    const auto going = [&]() { return state != Idle && attempt == current; };
    while (going()) {
        if (!parseStep() && (!going() || !pullInput()))
            break;
        if (going() && overdrawn) {
            throttle();
            break;
        }
        if (going() && (passWork >= passUnits || clock.nsecsElapsed() >= sliceNanoseconds)) {
            scheduleContinuation();
            break;
        }
    }
    if (attempt != current)
        return;
    if (state == Running && inputBuffer.size() == readPos)
        responseTimer.stop();
    else if (state != Idle && !awaitingOperator && !throttled && !responseTimer.isActive())
        responseTimer.start();
}

// Stops reading until the budget is repaid: the panel's TCP window fills and the server waits.
// Time we spend not reading is not the panel's silence, so the response timer stops too.
void RfbClient::throttle()
{
    overdrawn = false;
    throttled = true;
    responseTimer.stop();
    resumeTimer.start(int(std::clamp<qint64>(budget.msUntilRepaid(nowMs()), 1, 60000)));
}

void RfbClient::spendBudget(qint64 pixels)
{
    budget.spend(pixels, nowMs());
    workDone += pixels;
    overdrawn = overdrawn || budget.level(nowMs()) < 0;
}

qint64 RfbClient::nowMs() const
{
    return clock ? clock() : monotonic.elapsed();
}

// Bytes waiting in the device; -1 when the buffer and the device together hold more than the
// limit, and the connection has ended for it.
qint64 RfbClient::waitingInput()
{
    const qint64 available = transport ? transport->bytesAvailable() : 0;
    if (available <= 0)
        return 0;
    if (inputBuffer.size() - readPos + available > bufferLimit) {
        fail(tr("Слишком большой ответ сервера"), false);
        return -1;
    }
    return available;
}

// Moves up to one chunk, or what the pending message still lacks, from the device (and, for the
// live own socket, then from its descriptor) into the buffer. False when nothing came (or the
// connection ended because too much is waiting).
bool RfbClient::pullInput()
{
    // Nothing that arrives during the TLS handshake is ours to read: it is the handshake's.
    if (state == AwaitTlsHandshake)
        return false;
    const qint64 available = waitingInput();
    if (available < 0 || (available == 0 && !readingDirectly))
        return false;
    const qsizetype unparsed = inputBuffer.size() - readPos;

    // Compact only when the consumed part is at least as large as what remains, so every byte is
    // moved at most about once over its life: linear cost however messages are cut.
    if (readPos > 0 && readPos >= unparsed) {
        if (unparsed == 0) {
            if (inputBuffer.capacity() > keptCapacity)
                inputBuffer = QByteArray();
            else
                inputBuffer.resize(0);
        } else {
            std::memmove(inputBuffer.data(), inputBuffer.constData() + readPos, unparsed);
            inputBuffer.resize(unparsed);
        }
        readPos = 0;
    }

    const qsizetype old = inputBuffer.size();
    const qsizetype lacking = std::max<qsizetype>(pendingSize - unparsed, 0);
    // Read directly, only what the next messages need: Raw pixels go into the image instead.
    const qsizetype wanted = readingDirectly
        ? std::max(directPullChunk, lacking)
        : qsizetype(std::min<qint64>(available, std::max(pullChunk, lacking)));
    // Room for the whole pending message once its size is known, never more than it needs.
    if (inputBuffer.capacity() < old + wanted)
        inputBuffer.reserve(std::max(old + wanted, readPos + pendingSize));
    inputBuffer.resize(old + wanted);
    qint64 got = 0;
    if (available > 0)
        got = std::max<qint64>(transport->read(inputBuffer.data() + old, wanted), 0);
    if (readingDirectly && got < wanted) {
        const SocketReceive::Span rest { inputBuffer.data() + old + got, wanted - qsizetype(got) };
        got += receiveDirect(&rest, 1);
    }
    inputBuffer.resize(old + got);
    return got > 0;
}

void RfbClient::scheduleContinuation()
{
    if (continuationPending)
        return;
    continuationPending = true;
    QTimer::singleShot(0, this, [this]() {
        continuationPending = false;
        if (state != Idle && !throttled)
            processInput();
    });
}

// The first n unparsed bytes, taken; the view lasts until the next pull.
QByteArrayView RfbClient::takeBytes(qsizetype n)
{
    const QByteArrayView bytes(inputBuffer.constData() + readPos, n);
    readPos += n;
    return bytes;
}

void RfbClient::writeBytes(const char *data, qsizetype size)
{
    if (transport)
        transport->write(data, size);
}

// One step of the state machine: at most one message (or one rectangle) is taken, and only once
// it is wholly buffered. True when the step made progress.
bool RfbClient::parseStep()
{
    pendingSize = 0;
    WireReader in(inputBuffer.constData() + readPos, inputBuffer.size() - readPos);
    switch (state) {
    case Idle:
        return false;
    case AwaitVersion:
        return readVersion(in);
    case AwaitSecurityType:
        return readSecurityType(in);
    case AwaitSecurityTypes:
        return readSecurityTypes(in);
    case AwaitChallenge:
        return readChallenge(in);
    case AwaitSecurityResult:
        return readSecurityResult(in);
    case AwaitFailureReason:
        return readFailureReason(in);
    case AwaitServerInit:
        return readServerInit(in);
    case Running:
        return readServerMessage(in);
    case ReadingRectangles:
        if (decoding)
            return readEncodedPixels();
        return rawArea.isEmpty() ? readRectangle(in) : readRawPixels();
    case AwaitVeNCryptVersion:
        return readVeNCryptVersion(in);
    case AwaitVeNCryptAck:
        return readVeNCryptAck(in);
    case AwaitVeNCryptSubtypes:
        return readVeNCryptSubtypes(in);
    case AwaitVeNCryptGo:
        return readVeNCryptGo(in);
    case AwaitTlsHandshake:
        return false;
    }
    return false;
}

// Takes the bytes the reader has gone over.
void RfbClient::take(const WireReader &in)
{
    takeBytes(in.consumed());
}

// True when `size` bytes from the reader's position are buffered; otherwise the whole message's
// size is noted, so the next pull makes room for all of it at once.
bool RfbClient::need(const WireReader &in, qsizetype size)
{
    if (in.hasData(size))
        return true;
    pendingSize = in.consumed() + size;
    return false;
}

bool RfbClient::readVersion(WireReader &in)
{
    if (!in.hasData(12))
        return false;
    const int minor = serverMinor(in.bytes(12));
    take(in);
    if (minor < 3) {
        fail(tr("Панель использует неподдерживаемый протокол подключения."), false);
        return false;
    }
    protocolMinor = minor >= 8 ? 8 : minor == 7 ? 7 : 3;
    const char *reply = protocolMinor == 8   ? "RFB 003.008\n"
                        : protocolMinor == 7 ? "RFB 003.007\n"
                                             : "RFB 003.003\n";
    writeBytes(reply, 12);
    state = protocolMinor == 3 ? AwaitSecurityType : AwaitSecurityTypes;
    return true;
}

bool RfbClient::readSecurityType(WireReader &in)
{
    if (!in.hasData(4))
        return false;
    const quint32 type = in.u32();
    take(in);
    if (type != 0)
        offeredTypes = {type};
    if (type == 0) {
        state = AwaitFailureReason;
    } else if (attemptEncryption != Encryption::Off && type == SecurityChoice::VeNCrypt) {
        state = AwaitVeNCryptVersion;
    } else if ((type == 1 || type == 2) && strictEncryption()) {
        fail(tr("Панель не предлагает шифрованное соединение."), false);
        return false;
    } else if (type == 1 || type == 2) {
        beginSecurity(type);
    } else {
        fail(tr("Неподдерживаемая авторизация сервера"), false);
        return false;
    }
    return state != Idle;
}

bool RfbClient::readSecurityTypes(WireReader &in)
{
    if (!in.hasData(1))
        return false;
    const int count = in.u8();
    if (count == 0) {
        take(in);
        state = AwaitFailureReason;
        return true;
    }
    if (!in.hasData(count))
        return false;
    const QByteArrayView types = in.bytes(count);
    take(in);
    for (const char type : types)
        offeredTypes.append(quint8(type));
    SecurityChoice::Policy policy;
    policy.encrypt = attemptEncryption != Encryption::Off;
    policy.require = attemptEncryption == Encryption::Required;
    policy.pinned = !attemptPin.isEmpty() && policy.encrypt;
    const SecurityChoice::Result choice = SecurityChoice::securityType(policy, types);
    if (choice.outcome == SecurityChoice::Outcome::NotEncrypted) {
        fail(tr("Панель не предлагает шифрованное соединение."), false);
        return false;
    }
    if (choice.outcome != SecurityChoice::Outcome::Chosen) {
        fail(tr("Способ защиты соединения на этой панели не поддерживается."), false);
        return false;
    }
    const char code = char(choice.choice);
    writeBytes(&code, 1);
    if (choice.choice == SecurityChoice::VeNCrypt)
        state = AwaitVeNCryptVersion;
    else
        beginSecurity(choice.choice);
    return state != Idle;
}

bool RfbClient::readChallenge(WireReader &in)
{
    if (!in.hasData(16))
        return false;
    const auto *challenge = reinterpret_cast<const std::uint8_t *>(in.bytes(16).data());
    take(in);
    std::uint8_t key[8] = {};
    std::memcpy(key, passwordBytes.constData(), size_t(passwordBytes.size()));
    d3des::Schedule schedule;
    d3des::setKey(key, d3des::Direction::Encrypt, schedule);
    std::uint8_t response[16];
    d3des::block(schedule, challenge, response);
    d3des::block(schedule, challenge + 8, response + 8);
    writeBytes(reinterpret_cast<const char *>(response), 16);
    wipeRaw(key, sizeof key);
    d3des::wipe(schedule);
    wipe(passwordBytes);
    wipe(plainPassword);
    state = AwaitSecurityResult;
    return true;
}

bool RfbClient::readSecurityResult(WireReader &in)
{
    if (!in.hasData(4))
        return false;
    const quint32 result = in.u32();
    take(in);
    if (result != 0) {
        fail(tr("Сервер отклонил авторизацию. Проверьте пароль и права доступа."), false);
        return false;
    }
    sendClientInit();
    return true;
}

bool RfbClient::readFailureReason(WireReader &in)
{
    switch (const WireReader::Counted text = in.lengthPrefixed(textLimit); text.status) {
    case WireReader::Short:
        return need(in, text.lacking);
    case WireReader::TooLong:
        fail(tr("Некорректный ответ сервера"), false);
        return false;
    case WireReader::Ready:
        take(in);
        fail(QString::fromUtf8(text.bytes), false);
        return false;
    }
    return false;
}

bool RfbClient::readServerInit(WireReader &in)
{
    if (!in.hasData(24))
        return false;
    const int width = in.u16();
    const int height = in.u16();
    in.skip(16); // the server's pixel format: ours is imposed right after
    const WireReader::Counted name = in.lengthPrefixed(textLimit);
    if (name.status == WireReader::TooLong) {
        fail(tr("Слишком длинное имя сервера"), false);
        return false;
    }
    if (name.status == WireReader::Short)
        return need(in, name.lacking);
    take(in);
    if (!allocateFramebuffer(width, height))
        return false;
    completeHandshake(QString::fromUtf8(name.bytes));
    return state != Idle;
}

bool RfbClient::readServerMessage(WireReader &in)
{
    if (!in.hasData(1))
        return false;
    switch (const int type = in.u8()) {
    case 0:
        return readFramebufferUpdate(in);
    case 1: { // SetColourMapEntries: true colour is in force, the map is never used
        if (!in.hasData(5))
            return false;
        in.skip(3);
        const qsizetype size = 6 * qsizetype(in.u16());
        if (!need(in, size))
            return false;
        in.skip(size);
        take(in);
        return true;
    }
    case 2: // Bell
        take(in);
        return true;
    case 3: { // ServerCutText: the panel's clipboard is not used
        if (!in.hasData(3))
            return false;
        in.skip(3);
        switch (const WireReader::Counted text = in.lengthPrefixed(cutTextLimit); text.status) {
        case WireReader::Short:
            return need(in, text.lacking);
        case WireReader::TooLong:
            fail(tr("Слишком большой буфер обмена сервера"), false);
            return false;
        case WireReader::Ready:
            take(in);
            return true;
        }
        return false;
    }
    default:
        fail(tr("Неизвестное сообщение панели: %1").arg(type), false);
        return false;
    }
}

bool RfbClient::readFramebufferUpdate(WireReader &in)
{
    if (!in.hasData(3))
        return false;
    in.skip(1);
    rectanglesLeft = in.u16();
    take(in);
    if (rectanglesLeft == 0) {
        updateTimer.start();
    } else {
        state = ReadingRectangles;
        damage.clear();
        responseTimer.start();
        lastArrival.invalidate();
    }
    return true;
}

bool RfbClient::readRectangle(WireReader &in)
{
    if (!in.hasData(12))
        return false;
    const int x = in.u16();
    const int y = in.u16();
    const int width = in.u16();
    const int height = in.u16();
    const qint32 encoding = in.s32();

    if (encoding == desktopSizeEncoding) {
        take(in);
        if (!spendWork(desktopSizeScreens * screenUnits))
            return false;
        // The allocation and fill, and the whole screen it makes us ask for, take time too: a
        // panel resizing again and again within the allowance is slowed by the budget.
        spendBudget(desktopSizeScreens * width * height);
        return applyDesktopSize(width, height);
    }
    if (x + width > fb.width() || y + height > fb.height()) {
        fail(tr("Прямоугольник за пределами экрана"), false);
        return false;
    }
    if (encoding == 0) { // Raw: the pixels follow in the next steps
        take(in);
        ++rectangleCounts[0];
        if (width == 0 || height == 0)
            return finishRectangle();
        rawArea = QRect(x, y, width, height);
        rawRow = 0;
        rawRowBytes = 0;
        addDamage(rawArea);
        // Whatever of the pixels is already here goes in the same step: a burst of small
        // rectangles then costs one step each.
        readRawPixels();
        return state != Idle;
    }
    if (encoding == 1) { // CopyRect
        if (!in.hasData(4))
            return false;
        const int sourceX = in.u16();
        const int sourceY = in.u16();
        if (sourceX + width > fb.width() || sourceY + height > fb.height()) {
            fail(tr("Некорректный CopyRect"), false);
            return false;
        }
        take(in);
        ++rectangleCounts[1];
        chargeWork(qint64(width) * height);
        applyCopyRect(QRect(x, y, width, height), sourceX, sourceY);
        return finishRectangle();
    }
    if ((encoding == zrleEncoding && askedZrle) || (encoding == hextileEncoding && askedHextile)) {
        take(in);
        const QRect area(x, y, width, height);
        ++rectangleCounts[encoding == zrleEncoding ? 3 : 2];
        decoding = encoding == zrleEncoding ? static_cast<RectangleDecoder *>(&zrle) : &hextile;
        decoding->begin(area);
        if (!area.isEmpty())
            addDamage(area);
        // As for Raw: what is already here goes in the same step.
        readEncodedPixels();
        return state != Idle;
    }
    fail(tr("Сервер прислал незапрошенное кодирование %1").arg(encoding), false);
    return false;
}

// Charges work on `pixels` of the current framebuffer (moved, or decoded beyond the bytes that
// carried them) to the time-refilled budget; once it is overdrawn, the pass ends and reading
// pauses (see throttle()).
void RfbClient::chargeWork(qint64 pixels)
{
    const qint64 area = qint64(fb.width()) * fb.height();
    if (pixels <= 0 || area <= 0)
        return;
    spendBudget(pixels);
    // The pass's share, in screen areas rounded up, so that no amount of small pieces is free.
    const qint64 units = pixels > workScreens * area ? workScreens * screenUnits + 1
                                                     : (pixels * screenUnits + area - 1) / area;
    passWork += units;
    mostPassWork = std::max(mostPassWork, passWork);
}

bool RfbClient::spendWork(qint64 units)
{
    workLeft -= units;
    if (workLeft >= 0) {
        passWork += units;
        mostPassWork = std::max(mostPassWork, passWork);
        return true;
    }
    fail(tr("Сервер прислал слишком объёмное обновление экрана"), false);
    return false;
}

bool RfbClient::applyDesktopSize(int width, int height)
{
    if (!allocateFramebuffer(width, height))
        return false;
    fullUpdatePending = true;
    // Everything drawn before is gone: the whole new frame is changed.
    damage.clear();
    damage.add(fb.rect());
    return finishRectangle();
}

void RfbClient::applyCopyRect(const QRect &area, int sourceX, int sourceY)
{
    if (area.isEmpty())
        return;
    addDamage(area);
    // Rows are visited away from the destination and moved with memmove, which gives the same
    // result as copying through a temporary image, overlap included.
    uchar *bits = fb.bits();
    const qsizetype stride = fb.bytesPerLine();
    const bool upward = area.y() > sourceY;
    for (int i = 0; i < area.height(); ++i) {
        const int r = upward ? area.height() - 1 - i : i;
        std::memmove(bits + (area.y() + r) * stride + 4 * qsizetype(area.x()),
                     bits + (sourceY + r) * stride + 4 * qsizetype(sourceX),
                     4 * size_t(area.width()));
    }
}

// The pixels of the Raw rectangle in progress go straight into its framebuffer rows: first what
// the buffer already holds, then what the device holds, and once the socket's own read buffer is
// empty, straight from the socket into the rows, so most bytes are copied once, by the system, on
// their way in. One step moves at most rawStepBytes.
bool RfbClient::readRawPixels()
{
    const qsizetype rowBytes = 4 * qsizetype(rawArea.width());
    // Taken anew each step: a copy of the image made in between (a snapshot) detaches it.
    uchar *bits = fb.bits();
    const qsizetype stride = fb.bytesPerLine();
    const auto rowAt = [&](int r) {
        return bits + (rawArea.y() + r) * stride + 4 * qsizetype(rawArea.x());
    };
    // The rows of a rectangle as wide as the screen follow each other in memory: they are
    // filled as one span, in reads large enough to bypass a device's own small-read buffer.
    const bool contiguous = rowBytes == stride;
    qsizetype budget = rawStepBytes;
    qint64 fromDevice = -1; // not yet asked in this step
    bool progressed = false;
    while (budget > 0 && rawRow < rawArea.height()) {
        char *at = reinterpret_cast<char *>(rowAt(rawRow)) + rawRowBytes;
        const qsizetype span = contiguous ? (rawArea.height() - rawRow) * rowBytes : rowBytes;
        const qsizetype want = std::min({ span - rawRowBytes, budget, rawPiece });
        qint64 got = 0;
        if (const qsizetype buffered = inputBuffer.size() - readPos; buffered > 0) {
            got = std::min(want, buffered);
            std::memcpy(at, inputBuffer.constData() + readPos, size_t(got));
            readPos += qsizetype(got);
        } else {
            if (fromDevice < 0) {
                fromDevice = waitingInput();
                if (fromDevice < 0)
                    return false; // ended: the image and the rectangle may be another attempt's
            }
            if (fromDevice > 0) {
                got = transport->read(at, std::min<qint64>(want, fromDevice));
                fromDevice -= std::max<qint64>(got, 0);
            } else {
                // From the socket, the rows of a narrow rectangle in one call: one system call
                // per row would cost more than the row's bytes.
                SocketReceive::Span spans[SocketReceive::maxSpans];
                spans[0] = { at, want };
                int count = 1;
                qsizetype total = want;
                for (int r = rawRow + 1; !contiguous && count < SocketReceive::maxSpans
                     && r < rawArea.height() && total < std::min(budget, rawPiece); ++r) {
                    const qsizetype size = std::min(rowBytes, std::min(budget, rawPiece) - total);
                    spans[count++] = { reinterpret_cast<char *>(rowAt(r)), size };
                    total += size;
                }
                got = receiveDirect(spans, count);
                if (got == 0 && readingDirectly) {
                    // The rest of the rectangle is owed: wake when it is all here, not at
                    // every piece of it. A connection that ends still wakes at once.
                    wakeAt(qint64(rawArea.height() - rawRow) * rowBytes - rawRowBytes);
                }
            }
            if (got <= 0)
                break;
        }
        budget -= qsizetype(got);
        progressed = true;
        // Seal what arrived row by row; for a contiguous rectangle one pass covers all its rows.
        for (qsizetype left = qsizetype(got); left > 0;) {
            const qsizetype n = contiguous ? left : std::min(left, rowBytes - rawRowBytes);
            sealPixels(rowAt(rawRow), rawRowBytes, rawRowBytes + n);
            left -= n;
            rawRowBytes += n;
            rawRow += int(rawRowBytes / rowBytes);
            rawRowBytes %= rowBytes;
        }
    }
    if (rawRow < rawArea.height())
        return progressed;
    wakeAt(1); // what follows may be a few bytes
    rawArea = QRect();
    return finishRectangle();
}

// The rectangle in progress through its decoder, from what the buffer holds: the decoder takes
// what it can use and says how much more it needs, which the next pull then reads.
bool RfbClient::readEncodedPixels()
{
    const qsizetype buffered = inputBuffer.size() - readPos;
    const RectangleDecoder::Result result
        = decoding->decode(fb, QByteArrayView(inputBuffer.constData() + readPos, buffered));
    readPos += result.consumed;
    // A few bytes may paint many pixels (a solid tile, a long run): that much is work the panel
    // asks of us beyond what it sends.
    chargeWork(result.pixels - result.consumed);
    switch (result.status) {
    case RectangleDecoder::Result::Failed:
        decoderRefused = true;
        fail(result.error, false);
        return false;
    case RectangleDecoder::Result::Done:
        decoding = nullptr;
        return finishRectangle();
    case RectangleDecoder::Result::More:
        break;
    }
    if (result.consumed > 0 || result.pixels > 0)
        return true;
    pendingSize = result.needed;
    return false;
}

// Reads the own socket's descriptor, behind Qt's back, once Qt's read buffer is empty: order is
// kept because Qt's buffer only ever holds bytes older than the descriptor's. 0 when nothing is
// waiting; an end of stream or an error found here is left for the socket to find and report
// when it next reads, as it does while its read notification is armed.
qint64 RfbClient::receiveDirect(const SocketReceive::Span *spans, int count)
{
    if (!readingDirectly || drained || socket.state() != QAbstractSocket::ConnectedState
        || socket.bytesAvailable() > 0)
        return 0;
    const qintptr descriptor = socket.socketDescriptor();
    if (descriptor == -1)
        return 0;
    const qint64 got = SocketReceive::waiting(descriptor, spans, count);
    if (got == 0) {
        drained = true; // asking again before the next readyRead would only find it empty
        // Back to waiting for readyRead. Qt turns its read notification off while its one-byte
        // buffer is full, and a read that finds the buffer empty turns it on again.
        char unused;
        socket.read(&unused, 1);
    }
    return std::max<qint64>(got, 0);
}

// Sets the socket's receive low-water mark when it differs from the one set.
void RfbClient::wakeAt(qint64 bytes)
{
    bytes = std::clamp<qint64>(bytes, 1, SocketReceive::maxWakeBytes);
    if (bytes == wakeBytes || !readingDirectly || socket.socketDescriptor() == -1)
        return;
    SocketReceive::wakeAt(socket.socketDescriptor(), bytes);
    wakeBytes = bytes;
}

// While the session is live, the own socket is read directly and Qt's read buffer is cut to one
// byte: Qt's read notification still raises readyRead when bytes arrive, but Qt no longer
// copies them all into its buffer first. Parsing only stops without a queued continuation once
// the descriptor had nothing more, after receiveDirect() re-armed Qt's notification, so arriving
// bytes are always noticed.
void RfbClient::setDirectRead(bool on)
{
    if (transport != &socket || readingDirectly == on)
        return;
    readingDirectly = on;
    wakeBytes = 1; // a new connection starts with the system's default
    socket.setReadBufferSize(on ? 1 : bufferLimit);
}

void RfbClient::addDamage(const QRect &area)
{
    damage.add(area);
}

bool RfbClient::finishRectangle()
{
    if (--rectanglesLeft > 0)
        return true;
    state = Running;
    responseTimer.stop();
    changed = damage.take();
    emit frameChanged();
    if (state == Running)
        updateTimer.start();
    return state != Idle;
}

void RfbClient::beginSecurity(quint32 type)
{
    usedPassword = type == 2;
    if (type == 1) {
        // Inside VeNCrypt a SecurityResult follows whatever the version.
        if (protocolMinor == 8 || viaVeNCrypt)
            state = AwaitSecurityResult;
        else
            sendClientInit();
    } else if (type == 2) {
        state = AwaitChallenge;
    } else {
        fail(tr("Сервер требует неподдерживаемый тип авторизации (%1)").arg(type), false);
    }
}

void RfbClient::sendClientInit()
{
    const char shared = 1; // other viewers of the panel stay connected
    writeBytes(&shared, 1);
    state = AwaitServerInit;
}

void RfbClient::completeHandshake(const QString &name)
{
    static const char setPixelFormat[20] = {0, 0,  0, 0,  32, 24, 0,  1, 0, char(0xFF),
                                            0, char(0xFF), 0, char(0xFF), 16, 8, 0, 0, 0, 0};
    // Best first, since the server picks the first it knows: the compressed encodings when
    // asked for, then CopyRect, Raw and DesktopSize (-223).
    char setEncodings[24] = { 2, 0 };
    char *at = setEncodings + 4;
    for (const qint32 encoding : { zrleEncoding, hextileEncoding, 1, 0, desktopSizeEncoding }) {
        if ((encoding == zrleEncoding && !askedZrle) || (encoding == hextileEncoding && !askedHextile))
            continue;
        qToBigEndian<qint32>(encoding, at);
        at += 4;
    }
    putU16(setEncodings + 2, quint16((at - setEncodings - 4) / 4));
    writeBytes(setPixelFormat, sizeof setPixelFormat);
    writeBytes(setEncodings, at - setEncodings);
    state = Running;
    setDirectRead(true);
    responseTimer.stop();
    wipe(passwordBytes);
    wipe(plainPassword);
    keepAliveTimer.start();
    emit connected(name);
    if (state != Running)
        return;
    changed = QRegion(fb.rect());
    emit frameChanged();
    sendUpdateRequest(false);
}

bool RfbClient::allocateFramebuffer(int width, int height)
{
    if (width <= 0 || height <= 0 || width > sideLimit || height > sideLimit
        || qint64(width) * height > pixelLimit) {
        fail(tr("Недопустимый размер экрана"), false);
        return false;
    }
    fb = QImage(width, height, QImage::Format_RGB32);
    if (fb.isNull()) {
        fail(tr("Недостаточно памяти для экрана"), false);
        return false;
    }
    fb.fill(emptyScreen);
    return true;
}

void RfbClient::sendUpdateRequest(bool incremental)
{
    if (!isLive())
        return;
    char message[10] = {3, char(incremental ? 1 : 0), 0, 0, 0, 0};
    putU16(message + 6, quint16(fb.width()));
    putU16(message + 8, quint16(fb.height()));
    writeBytes(message, sizeof message);
    if (!incremental)
        fullUpdatePending = false;
    // Refilled, not added to: what the panel left unspent does not carry over.
    workLeft = workScreens * screenUnits;
}

void RfbClient::handleUpdateTimer()
{
    if (state != Running)
        return;
    const bool incremental = !fullUpdatePending;
    fullUpdatePending = false;
    sendUpdateRequest(incremental);
}

void RfbClient::handleKeepAlive()
{
    // While reading is paused, the answer could not be read in time.
    if (state != Running || responseTimer.isActive() || throttled)
        return;
    sendUpdateRequest(false);
    responseTimer.start();
}

QTcpSocket *RfbClient::ownSocket() const
{
    if (injected)
        return nullptr;
    if (transport == &socket)
        return const_cast<QTcpSocket *>(&socket);
    if (transport == &tlsSocket)
        return const_cast<QSslSocket *>(&tlsSocket);
    return nullptr;
}

// Required, or a pinned certificate: nothing but a checked (or, unpinned, anonymous) TLS session.
bool RfbClient::strictEncryption() const
{
    return attemptEncryption == Encryption::Required
           || (attemptEncryption != Encryption::Off && !attemptPin.isEmpty());
}

bool RfbClient::readVeNCryptVersion(WireReader &in)
{
    if (!in.hasData(2))
        return false;
    const int major = in.u8();
    const int minor = in.u8();
    take(in);
    if (major == 0 && minor < 2) {
        fail(tr("Панель отклонила шифрованное соединение."), false);
        return false;
    }
    const char reply[2] = {0, 2};
    writeBytes(reply, 2);
    state = AwaitVeNCryptAck;
    return true;
}

bool RfbClient::readVeNCryptAck(WireReader &in)
{
    if (!in.hasData(1))
        return false;
    const int ack = in.u8();
    take(in);
    if (ack != 0) {
        fail(tr("Панель отклонила шифрованное соединение."), false);
        return false;
    }
    state = AwaitVeNCryptSubtypes;
    return true;
}

bool RfbClient::readVeNCryptSubtypes(WireReader &in)
{
    if (!in.hasData(1))
        return false;
    const int count = in.u8();
    if (count == 0) {
        take(in);
        fail(tr("Панель отклонила шифрованное соединение."), false);
        return false;
    }
    if (!need(in, 4 * qsizetype(count)))
        return false;
    QList<quint32> subtypes;
    subtypes.reserve(count);
    for (int i = 0; i < count; ++i)
        subtypes.append(in.u32());
    take(in);

    SecurityChoice::Policy policy;
    policy.encrypt = true;
    policy.require = attemptEncryption == Encryption::Required;
    policy.pinned = !attemptPin.isEmpty();
    policy.userName = !attemptUser.isEmpty();
    policy.tls = QSslSocket::supportsSsl();
    // Anonymous suites are an OpenSSL matter: Schannel has none.
    policy.anonymousTls = policy.tls && QSslSocket::activeBackend() == QLatin1String("openssl");
    const SecurityChoice::Result choice = SecurityChoice::subtype(policy, subtypes);
    if (choice.outcome == SecurityChoice::Outcome::NeedsUserName) {
        userNameNeeded = true;
        fail(tr("Панель требует имя пользователя."), false);
        return false;
    }
    if (choice.outcome != SecurityChoice::Outcome::Chosen) {
        // Our side lacking TLS is not the panel's fault, and should not read as if it were.
        const bool tlsOffered = std::any_of(subtypes.cbegin(), subtypes.cend(), [](quint32 t) {
            return SecurityChoice::isTls(t);
        });
        if (!policy.tls && tlsOffered) {
            fail(tr("Не удалось установить шифрованное соединение: %1")
                     .arg(tr("в системе нет поддержки TLS")),
                 false);
        } else {
            fail(tr("Панель не предлагает подходящий способ шифрования."), false);
        }
        return false;
    }
    subtype = choice.choice;
    char code[4];
    qToBigEndian<quint32>(subtype, code);
    writeBytes(code, 4);
    viaVeNCrypt = true;
    if (SecurityChoice::isTls(subtype)) {
        state = AwaitVeNCryptGo;
        return true;
    }
    // VNC Authentication or None offered inside VeNCrypt: in clear, as without it.
    beginSecurity(subtype);
    return state != Idle;
}

bool RfbClient::readVeNCryptGo(WireReader &in)
{
    if (!in.hasData(1))
        return false;
    const int go = in.u8();
    take(in);
    if (go != 1) {
        fail(tr("Панель отклонила шифрованное соединение."), false);
        return false;
    }
    // Whatever came in clear after the go-ahead would be taken for the TLS stream's: it ends the
    // attempt instead.
    if (inputBuffer.size() > readPos || (transport && transport->bytesAvailable() > 0)) {
        fail(tr("Некорректный ответ сервера"), false);
        return false;
    }
    startTls();
    return false;
}

void RfbClient::startTls()
{
    if (transport != &tlsSocket) {
        fail(tr("Не удалось установить шифрованное соединение: %1")
                 .arg(tr("поток данных не поддерживает TLS")),
             false);
        return;
    }
    state = AwaitTlsHandshake;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (SecurityChoice::isX509(subtype)) {
        // Every error reaches handleSslErrors(): a pin, or else the operator, decides.
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    } else {
        // Anonymous Diffie-Hellman: encrypted, but nobody's identity is checked. Servers of
        // this kind drop a TLS 1.3 hello, and OpenSSL hides these suites below level 0.
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        tls.setProtocol(QSsl::TlsV1_2);
        tls.setBackendConfigurationOption(QByteArrayLiteral("CipherString"),
                                          QByteArrayLiteral("aNULL:@SECLEVEL=0"));
    }
    tlsSocket.setSslConfiguration(tls);
    tlsSocket.setPeerVerifyName(attemptHost);
    tlsSocket.startClientEncryption();
}

void RfbClient::handleSslErrors()
{
    if (state != AwaitTlsHandshake)
        return;
    const QSslCertificate presented = tlsSocket.peerCertificate();
    const QByteArray sha = presented.isNull() ? QByteArray() : presented.digest(QCryptographicHash::Sha256);
    if (!attemptPin.isEmpty()) {
        // Only the pin decides: dates, issuer and host name do not matter then.
        if (attemptPin.size() == sha256Size && sha == attemptPin) {
            tlsSocket.ignoreSslErrors();
            return;
        }
        presentedSha = sha;
        fail(tr("Сертификат панели изменился с прошлого подключения. Возможно, соединение "
                "перехвачено."),
             false);
        return;
    }
    if (!SecurityChoice::isX509(subtype)) {
        tlsSocket.ignoreSslErrors();
        return;
    }
    // The socket pauses after this signal; the operator's time is not the panel's.
    awaitingOperator = true;
    waitingSha = sha;
    responseTimer.stop();
    emit certificateUnknown(presented);
}

void RfbClient::acceptCertificate(const QByteArray &sha256)
{
    if (state != AwaitTlsHandshake || !awaitingOperator || sha256.isEmpty() || sha256 != waitingSha)
        return;
    awaitingOperator = false;
    responseTimer.start();
    tlsSocket.ignoreSslErrors();
    tlsSocket.resume();
}

void RfbClient::handleEncrypted()
{
    if (state != AwaitTlsHandshake)
        return;
    peerCert = tlsSocket.peerCertificate();
    const QByteArray sha
        = peerCert.isNull() ? QByteArray() : peerCert.digest(QCryptographicHash::Sha256);
    if (!attemptPin.isEmpty() && (attemptPin.size() != sha256Size || sha != attemptPin)) {
        // A certificate the system trusts still has to be the pinned one.
        presentedSha = sha;
        fail(tr("Сертификат панели изменился с прошлого подключения. Возможно, соединение "
                "перехвачено."),
             false);
        return;
    }
    encrypted = true;
    authenticated = SecurityChoice::isX509(subtype) && !peerCert.isNull();
    const QSslCipher cipher = tlsSocket.sessionCipher();
    QString protocol;
    switch (tlsSocket.sessionProtocol()) {
    case QSsl::TlsV1_2:
        protocol = QStringLiteral("TLS 1.2");
        break;
    case QSsl::TlsV1_3:
        protocol = QStringLiteral("TLS 1.3");
        break;
    default:
        protocol = cipher.protocolString();
        break;
    }
    description = QStringLiteral("%1 · %2 · %3")
                      .arg(protocol, cipher.name(),
                           sha.isEmpty() ? tr("без сертификата")
                                         : QStringLiteral("SHA-256 ") + groupedFingerprint(sha));
    tlsSocket.setReadBufferSize(tlsReadBuffer);
    runInnerStep();
    if (state != Idle)
        scheduleContinuation(); // decrypted bytes may be waiting already
}

// The security step inside TLS; a SecurityResult always follows it.
void RfbClient::runInnerStep()
{
    switch (SecurityChoice::inner(subtype)) {
    case SecurityChoice::Inner::None:
        usedPassword = false;
        state = AwaitSecurityResult;
        break;
    case SecurityChoice::Inner::Vnc:
        usedPassword = true;
        state = AwaitChallenge;
        break;
    case SecurityChoice::Inner::Plain: {
        usedPassword = true;
        QByteArray user = attemptUser.toUtf8();
        QByteArray message(8 + user.size() + plainPassword.size(), Qt::Uninitialized);
        qToBigEndian<quint32>(quint32(user.size()), message.data());
        qToBigEndian<quint32>(quint32(plainPassword.size()), message.data() + 4);
        std::memcpy(message.data() + 8, user.constData(), size_t(user.size()));
        std::memcpy(message.data() + 8 + user.size(), plainPassword.constData(),
                    size_t(plainPassword.size()));
        writeBytes(message.constData(), message.size());
        wipe(message);
        wipe(user);
        wipe(passwordBytes);
        wipe(plainPassword);
        state = AwaitSecurityResult;
        break;
    }
    }
}

QString RfbClient::groupedFingerprint(const QByteArray &sha256)
{
    // One way of grouping, whether a fingerprint comes from the wire or from a stored pin.
    return PanelProfile::groupedFingerprint(PanelProfile::pinFromDigest(sha256));
}

qint64 RfbClient::workCapacityForTest()
{
    return workCapacity;
}

qint64 RfbClient::workPerSecondForTest()
{
    return workPerSecond;
}
