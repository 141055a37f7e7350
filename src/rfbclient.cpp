#include "rfbclient.h"

#include "d3des/d3des.h"

#include <QElapsedTimer>
#include <QIODevice>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

// Room for the largest screen (8192 x 2048 x 4 bytes) plus whatever follows it.
constexpr qint64 bufferLimit = 75497472;
// Bytes moved from the device per pull, so one slice never copies a whole 64 MiB burst at once.
constexpr qsizetype pullChunk = 1024 * 1024;
// A buffer this large is released when it runs empty instead of being kept for reuse.
constexpr qsizetype keptCapacity = 8 * 1024 * 1024;
constexpr qint64 sliceNanoseconds = 8 * 1000 * 1000;
constexpr quint32 textLimit = 65536;
constexpr quint32 cutTextLimit = 1048576;
constexpr int sideLimit = 8192;
constexpr qint64 pixelLimit = 16777216;
constexpr QRgb emptyScreen = 0xFF101820;
constexpr qint32 desktopSizeEncoding = -223;

quint16 u16At(const char *p)
{
    return qFromBigEndian<quint16>(p);
}

quint32 u32At(const char *p)
{
    return qFromBigEndian<quint32>(p);
}

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

// One row of wire pixels (blue, green, red, ignored) into RGB32 (0xFFRRGGBB). A plain loop the
// compiler vectorises; no per-pixel calls into QImage.
void convertRow(const uchar *src, quint32 *dst, int width)
{
    for (int c = 0; c < width; ++c) {
        quint32 v;
        std::memcpy(&v, src + 4 * c, 4);
        dst[c] = qFromLittleEndian(v) | 0xFF000000u;
    }
}

// The minor number of a well-formed "RFB 003.xxx\n" (three digits), otherwise -1.
int serverMinor(const QByteArray &version)
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

RfbClient::RfbClient(QObject *parent, QIODevice *injected)
    : QObject(parent), transport(injected ? injected : &socket)
{
    responseTimer.setSingleShot(true);
    responseTimer.setInterval(12000);
    updateTimer.setSingleShot(true);
    updateTimer.setInterval(35);
    keepAliveTimer.setSingleShot(false);
    keepAliveTimer.setInterval(15000);

    socket.setReadBufferSize(bufferLimit);

    connect(&socket, &QTcpSocket::connected, this, &RfbClient::handleConnected);
    connect(transport, &QIODevice::readyRead, this, &RfbClient::handleReadyRead);
    connect(transport, &QIODevice::aboutToClose, this,
            [this]() { fail(tr("Поток данных закрыт"), true); });
    if (injected) {
        // A device that disappears under a running session has closed the stream as well.
        connect(injected, &QObject::destroyed, this,
                [this]() { fail(tr("Поток данных закрыт"), true); });
    }
    connect(&socket, &QAbstractSocket::errorOccurred, this, &RfbClient::handleSocketError);
    connect(&socket, &QAbstractSocket::disconnected, this,
            [this]() { fail(tr("Соединение закрыто сервером"), true); });
    connect(&responseTimer, &QTimer::timeout, this,
            [this]() { fail(tr("Сервер не завершил ответ за 12 секунд"), true); });
    connect(&updateTimer, &QTimer::timeout, this, &RfbClient::handleUpdateTimer);
    connect(&keepAliveTimer, &QTimer::timeout, this, &RfbClient::handleKeepAlive);
}

RfbClient::~RfbClient()
{
    // The socket member dies before the QObject base; its last signals must not reach us.
    socket.disconnect(this);
    if (transport)
        transport->disconnect(this);
    disconnectFromPanel();
}

void RfbClient::connectToPanel(const QString &host, quint16 port, const QString &password)
{
    disconnectFromPanel();
    retry = false;
    fb = QImage();

    QByteArray latin = password.toLatin1();
    passwordBytes = QByteArray(latin.constData(), std::min<qsizetype>(latin.size(), 8));
    wipe(latin);

    state = AwaitVersion;
    emit status(tr("Подключение к %1:%2…").arg(host, QString::number(port)));
    if (state != AwaitVersion)
        return;
    responseTimer.start();

    if (transport == &socket) {
        socket.connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
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
    responseTimer.stop();
    updateTimer.stop();
    keepAliveTimer.stop();
    if (transport == &socket) {
        // The session releases held keys and buttons just before this reset;
        // hand them to the system before the abort discards unsent output,
        // or a key could stay pressed on the panel.
        if (socket.state() == QAbstractSocket::ConnectedState && socket.bytesToWrite() > 0)
            socket.flush();
        socket.abort();
    }
    inputBuffer.clear();
    readPos = 0;
    wipe(passwordBytes);
    rectanglesLeft = 0;
    fullUpdatePending = false;
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

qsizetype RfbClient::bufferedBytesForTest() const
{
    return inputBuffer.size() - readPos;
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
    if (transport != &socket || state == Idle)
        return;
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    emit status(tr("Согласование подключения…"));
}

void RfbClient::handleReadyRead()
{
    if (state == Idle)
        return;
    processInput();
}

void RfbClient::handleSocketError(QAbstractSocket::SocketError error)
{
    if (transport != &socket)
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
    default:
        fail(socket.errorString(), true);
        break;
    }
}

void RfbClient::processInput()
{
    QElapsedTimer clock;
    clock.start();
    while (state != Idle) {
        if (!parseStep() && (state == Idle || !pullInput()))
            break;
        if (clock.nsecsElapsed() >= sliceNanoseconds) {
            scheduleContinuation();
            break;
        }
    }
    if (state == Running && inputBuffer.size() == readPos)
        responseTimer.stop();
    else if (state != Idle && !responseTimer.isActive())
        responseTimer.start();
}

// Moves up to one chunk from the device into the buffer. False when nothing came (or the
// connection ended because too much is waiting).
bool RfbClient::pullInput()
{
    if (!transport)
        return false;
    const qint64 available = transport->bytesAvailable();
    if (available <= 0)
        return false;
    const qsizetype unparsed = inputBuffer.size() - readPos;
    if (unparsed + available > bufferLimit) {
        fail(tr("Слишком большой ответ сервера"), false);
        return false;
    }

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
    const qsizetype wanted = qsizetype(std::min<qint64>(available, pullChunk));
    if (inputBuffer.capacity() < old + wanted)
        inputBuffer.reserve(std::max<qsizetype>(old + wanted, 2 * inputBuffer.capacity()));
    inputBuffer.resize(old + wanted);
    const qint64 got = transport->read(inputBuffer.data() + old, wanted);
    inputBuffer.resize(old + std::max<qint64>(got, 0));
    return got > 0;
}

void RfbClient::scheduleContinuation()
{
    if (continuationPending)
        return;
    continuationPending = true;
    QTimer::singleShot(0, this, [this]() {
        continuationPending = false;
        if (state != Idle)
            processInput();
    });
}

QByteArray RfbClient::takeBytes(qsizetype n)
{
    QByteArray bytes(inputBuffer.constData() + readPos, n);
    readPos += n;
    return bytes;
}

void RfbClient::writeBytes(const char *data, qsizetype size)
{
    if (transport)
        transport->write(data, size);
}

bool RfbClient::parseStep()
{
    const qsizetype available = inputBuffer.size() - readPos;
    const char *p = inputBuffer.constData() + readPos;

    switch (state) {
    case Idle:
        return false;

    case AwaitVersion: {
        if (available < 12)
            return false;
        const int minor = serverMinor(takeBytes(12));
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

    case AwaitSecurityType: {
        if (available < 4)
            return false;
        const quint32 type = u32At(p);
        readPos += 4;
        if (type == 0) {
            state = AwaitFailureReason;
        } else if (type == 1 || type == 2) {
            beginSecurity(type);
        } else {
            fail(tr("Неподдерживаемая авторизация сервера"), false);
            return false;
        }
        return state != Idle;
    }

    case AwaitSecurityTypes: {
        if (available < 1)
            return false;
        const int count = uchar(p[0]);
        if (count == 0) {
            readPos += 1;
            state = AwaitFailureReason;
            return true;
        }
        if (available < 1 + count)
            return false;
        const QByteArray types = takeBytes(1 + count).mid(1);
        const char choice = types.contains(char(2)) ? 2 : types.contains(char(1)) ? 1 : 0;
        if (choice == 0) {
            fail(tr("Способ защиты соединения на этой панели не поддерживается."), false);
            return false;
        }
        writeBytes(&choice, 1);
        beginSecurity(quint32(choice));
        return state != Idle;
    }

    case AwaitChallenge: {
        if (available < 16)
            return false;
        const QByteArray challenge = takeBytes(16);
        std::uint8_t key[8] = {};
        std::memcpy(key, passwordBytes.constData(), size_t(passwordBytes.size()));
        d3des::Schedule schedule;
        d3des::setKey(key, d3des::Direction::Encrypt, schedule);
        std::uint8_t response[16];
        const auto *in = reinterpret_cast<const std::uint8_t *>(challenge.constData());
        d3des::block(schedule, in, response);
        d3des::block(schedule, in + 8, response + 8);
        writeBytes(reinterpret_cast<const char *>(response), 16);
        wipeRaw(key, sizeof key);
        d3des::wipe(schedule);
        wipe(passwordBytes);
        state = AwaitSecurityResult;
        return true;
    }

    case AwaitSecurityResult: {
        if (available < 4)
            return false;
        const quint32 result = u32At(p);
        readPos += 4;
        if (result != 0) {
            fail(tr("Сервер отклонил авторизацию. Проверьте пароль и права доступа."), false);
            return false;
        }
        sendClientInit();
        return true;
    }

    case AwaitFailureReason: {
        if (available < 4)
            return false;
        const quint32 length = u32At(p);
        if (length > textLimit) {
            fail(tr("Некорректный ответ сервера"), false);
            return false;
        }
        if (available < 4 + qsizetype(length))
            return false;
        readPos += 4;
        const QByteArray reason = takeBytes(length);
        fail(QString::fromUtf8(reason), false);
        return false;
    }

    case AwaitServerInit: {
        if (available < 24)
            return false;
        const quint32 nameLength = u32At(p + 20);
        if (nameLength > textLimit) {
            fail(tr("Слишком длинное имя сервера"), false);
            return false;
        }
        if (available < 24 + qsizetype(nameLength))
            return false;
        const int width = u16At(p);
        const int height = u16At(p + 2);
        readPos += 24;
        if (!allocateFramebuffer(width, height))
            return false;
        completeHandshake(QString::fromUtf8(takeBytes(nameLength)));
        return state != Idle;
    }

    case Running: {
        if (available < 1)
            return false;
        const int type = uchar(p[0]);
        switch (type) {
        case 0: { // FramebufferUpdate
            if (available < 4)
                return false;
            rectanglesLeft = u16At(p + 2);
            readPos += 4;
            if (rectanglesLeft == 0) {
                updateTimer.start();
            } else {
                state = ReadingRectangles;
                responseTimer.start();
            }
            return true;
        }
        case 1: { // SetColourMapEntries: true colour is in force, the map is never used
            if (available < 6)
                return false;
            const qsizetype size = 6 * (qsizetype(u16At(p + 4)) + 1);
            if (available < size)
                return false;
            readPos += size;
            return true;
        }
        case 2: // Bell
            readPos += 1;
            return true;
        case 3: { // ServerCutText: the panel's clipboard is not used
            if (available < 8)
                return false;
            const quint32 length = u32At(p + 4);
            if (length > cutTextLimit) {
                fail(tr("Слишком большой буфер обмена сервера"), false);
                return false;
            }
            if (available < 8 + qsizetype(length))
                return false;
            readPos += 8 + qsizetype(length);
            return true;
        }
        default:
            fail(tr("Неизвестное сообщение панели: %1").arg(type), false);
            return false;
        }
    }

    case ReadingRectangles: {
        if (available < 12)
            return false;
        const int x = u16At(p);
        const int y = u16At(p + 2);
        const int width = u16At(p + 4);
        const int height = u16At(p + 6);
        const qint32 encoding = qint32(u32At(p + 8));

        if (encoding == desktopSizeEncoding) {
            readPos += 12;
            if (!allocateFramebuffer(width, height))
                return false;
            fullUpdatePending = true;
            return finishRectangle();
        }

        if (x + width > fb.width() || y + height > fb.height()) {
            fail(tr("Прямоугольник за пределами экрана"), false);
            return false;
        }

        if (encoding == 0) { // Raw
            const qint64 size = 12 + qint64(width) * height * 4;
            if (available < size)
                return false;
            if (width > 0 && height > 0) {
                const auto *src = reinterpret_cast<const uchar *>(p + 12);
                uchar *bits = fb.bits();
                const qsizetype stride = fb.bytesPerLine();
                for (int r = 0; r < height; ++r) {
                    auto *dst = reinterpret_cast<quint32 *>(bits + (y + r) * stride) + x;
                    convertRow(src, dst, width);
                    src += 4 * qsizetype(width);
                }
            }
            readPos += size;
            return finishRectangle();
        }

        if (encoding == 1) { // CopyRect
            if (available < 16)
                return false;
            const int sourceX = u16At(p + 12);
            const int sourceY = u16At(p + 14);
            if (sourceX + width > fb.width() || sourceY + height > fb.height()) {
                fail(tr("Некорректный CopyRect"), false);
                return false;
            }
            readPos += 16;
            if (width > 0 && height > 0) {
                // Rows are visited away from the destination and moved with memmove, which
                // gives the same result as copying through a temporary image, overlap included.
                uchar *bits = fb.bits();
                const qsizetype stride = fb.bytesPerLine();
                const bool upward = y > sourceY;
                for (int i = 0; i < height; ++i) {
                    const int r = upward ? height - 1 - i : i;
                    std::memmove(bits + (y + r) * stride + 4 * qsizetype(x),
                                 bits + (sourceY + r) * stride + 4 * qsizetype(sourceX),
                                 4 * size_t(width));
                }
            }
            return finishRectangle();
        }

        fail(tr("Сервер прислал незапрошенное кодирование %1").arg(encoding), false);
        return false;
    }
    }
    return false;
}

bool RfbClient::finishRectangle()
{
    if (--rectanglesLeft > 0)
        return true;
    state = Running;
    responseTimer.stop();
    emit frameChanged();
    if (state == Running)
        updateTimer.start();
    return state != Idle;
}

void RfbClient::beginSecurity(quint32 type)
{
    if (type == 1) {
        if (protocolMinor == 8)
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
    // CopyRect, Raw, DesktopSize (-223).
    static const char setEncodings[16] = {2, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0,
                                          char(0xFF), char(0xFF), char(0xFF), 0x21};
    writeBytes(setPixelFormat, sizeof setPixelFormat);
    writeBytes(setEncodings, sizeof setEncodings);
    state = Running;
    responseTimer.stop();
    wipe(passwordBytes);
    keepAliveTimer.start();
    emit connected(name);
    if (state != Running)
        return;
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
    if (state != Running || responseTimer.isActive())
        return;
    sendUpdateRequest(false);
    responseTimer.start();
}
