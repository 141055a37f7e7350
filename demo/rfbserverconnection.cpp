#include "rfbserverconnection.h"

#include "d3des/d3des.h"
#include "demopanel.h"
#include "hextileencoder.h"
#include "rfbserver.h"
#include "zrleencoder.h"

#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <cstring>
#include <utility>

namespace {

constexpr quint8 kVeNCrypt = 19;
constexpr qint32 kRaw = 0;
constexpr qint32 kCopyRect = 1;
constexpr qint32 kHextile = 5;
constexpr qint32 kZrle = 16;
constexpr qint32 kDesktopSize = -223;
constexpr quint32 kMaxCutText = 1 << 20;
// Beyond this many rectangles one bounding rectangle is cheaper than the headers.
constexpr int kMaxRectangles = 64;
// The link's pace: bytes go out every kPaceMs, and after a pause at most kBurstMs worth at once.
constexpr int kPaceMs = 10;
constexpr int kBurstMs = 20;

quint16 u16At(const QByteArray &b, int offset)
{
    return qFromBigEndian<quint16>(b.constData() + offset);
}

quint32 u32At(const QByteArray &b, int offset)
{
    return qFromBigEndian<quint32>(b.constData() + offset);
}

void putU16(QByteArray &out, quint16 v)
{
    char b[2];
    qToBigEndian(v, b);
    out.append(b, 2);
}

void putU32(QByteArray &out, quint32 v)
{
    char b[4];
    qToBigEndian(v, b);
    out.append(b, 4);
}

void putRectHeader(QByteArray &out, const QRect &r, qint32 encoding)
{
    putU16(out, quint16(r.x()));
    putU16(out, quint16(r.y()));
    putU16(out, quint16(r.width()));
    putU16(out, quint16(r.height()));
    putU32(out, quint32(encoding));
}

void putText(QByteArray &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    putU32(out, quint32(utf8.size()));
    out.append(utf8);
}

} // namespace

RfbServerConnection::RfbServerConnection(QTcpSocket *socket, DemoPanel *panel,
    const QString &password, int maxMinor, RfbServerStats *stats, QObject *parent)
    : QObject(parent)
    , socket(socket)
    , panel(panel)
    , password(password.toLatin1().left(8))
    , stats(stats)
    , maxMinor(maxMinor)
{
    socket->setParent(this);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::readyRead, this, &RfbServerConnection::readClient);
    connect(socket, &QTcpSocket::disconnected, this, [this]() {
        state = State::Closed;
        emit finished();
    });
    connect(panel, &DemoPanel::damaged, this, &RfbServerConnection::onDamage);
    connect(panel, &DemoPanel::scrolled, this, &RfbServerConnection::onScroll);
    connect(panel, &DemoPanel::resized, this, &RfbServerConnection::onResize);
    connect(socket, &QTcpSocket::bytesWritten, this, &RfbServerConnection::onBytesWritten);

    handshakeTimer = new QTimer(this);
    handshakeTimer->setObjectName(QStringLiteral("handshakeTimer"));
    handshakeTimer->setSingleShot(true);
    connect(handshakeTimer, &QTimer::timeout, this,
        [this]() { close(tr("клиент не завершил подключение за %1 с").arg(handshakeSeconds)); });
    handshakeTimer->start(handshakeSeconds * 1000);

    send(QByteArray(maxMinor >= 8 ? "RFB 003.008\n"
            : maxMinor == 7       ? "RFB 003.007\n"
                                  : "RFB 003.003\n"));
}

RfbServerConnection::~RfbServerConnection()
{
    password.fill('\0');
}

void RfbServerConnection::setLinkKbps(int kbps)
{
    linkBytesPerSecond = qint64(qMax(kbps, 0)) * 1000 / 8;
    if (!paceTimer) {
        paceTimer = new QTimer(this);
        paceTimer->setTimerType(Qt::PreciseTimer);
        paceTimer->setInterval(kPaceMs);
        connect(paceTimer, &QTimer::timeout, this, &RfbServerConnection::pace);
    }
    tokens = 0;
    sinceRefill.start();
    pace();
}

void RfbServerConnection::setTls(const RfbServerTls &settings)
{
    auto *ssl = qobject_cast<QSslSocket *>(socket.data());
    if (!ssl)
        return;
    tls = settings;
    connect(ssl, &QSslSocket::encrypted, this, &RfbServerConnection::onEncrypted);
    connect(ssl, &QSslSocket::errorOccurred, this, [this, ssl]() {
        if (state == State::TlsHandshake)
            close(tr("TLS: %1").arg(ssl->errorString()));
    });
}

void RfbServerConnection::send(const QByteArray &bytes)
{
    if (!socket || bytes.isEmpty())
        return;
    if (linkBytesPerSecond == 0 && heldBytes == 0) {
        socket->write(bytes);
        return;
    }
    held.append(bytes);
    heldBytes += bytes.size();
    pace();
}

void RfbServerConnection::pace()
{
    if (!socket)
        return;
    if (socket->state() != QAbstractSocket::ConnectedState) {
        held.clear(); // nobody left to carry them to
        heldOffset = 0;
        heldBytes = 0;
    }
    if (linkBytesPerSecond > 0) {
        // A token bucket: the rate over time, and a small burst after a pause as real links allow.
        const double burst = qMax(1500.0, double(linkBytesPerSecond) * kBurstMs / 1000);
        tokens = qMin(
            burst, tokens + double(sinceRefill.nsecsElapsed()) * double(linkBytesPerSecond) / 1e9);
        sinceRefill.start();
    }
    while (heldBytes > 0 && (linkBytesPerSecond == 0 || tokens >= 1)) {
        const QByteArray &first = held.first();
        qint64 n = first.size() - heldOffset;
        if (linkBytesPerSecond > 0)
            n = qMin(n, qint64(tokens));
        socket->write(first.constData() + heldOffset, n);
        tokens -= double(n);
        heldBytes -= n;
        heldOffset += n;
        if (heldOffset == first.size()) {
            held.removeFirst();
            heldOffset = 0;
        }
    }
    if (heldBytes > 0) {
        if (!paceTimer->isActive())
            paceTimer->start();
        return;
    }
    if (paceTimer)
        paceTimer->stop();
    startTls(); // when the go-ahead was the last byte held
    // close() left the socket open until the link had carried everything.
    if (state == State::Closed && socket->state() == QAbstractSocket::ConnectedState)
        socket->disconnectFromHost();
}

qint64 RfbServerConnection::queuedBytes() const
{
    return heldBytes + (socket ? socket->bytesToWrite() : 0);
}

void RfbServerConnection::close(const QString &reason)
{
    if (state == State::Closed || !socket)
        return;
    if (!reason.isEmpty())
        qWarning("%s",
            qPrintable(tr("Панель «%1»: соединение закрыто: %2")
                           .arg(panel ? panel->objectName() : QString(), reason)));
    state = State::Closed;
    if (heldBytes == 0) {
        socket->disconnectFromHost(); // writes what is queued first, then closes
        if (socket->state() == QAbstractSocket::UnconnectedState)
            return;
    }
    // A viewer that never reads would keep the queue, and its place among the
    // panel's connections, for ever: give it the handshake's time, then drop it.
    handshakeTimer->disconnect(this);
    connect(handshakeTimer, &QTimer::timeout, socket.data(), &QTcpSocket::abort);
    handshakeTimer->start(handshakeSeconds * 1000);
}

void RfbServerConnection::readClient()
{
    if (state == State::Closed)
        return;
    in.append(socket->readAll());
    while (state != State::Closed && step()) { }
}

bool RfbServerConnection::step()
{
    switch (state) {
    case State::Version:
        return processVersion();
    case State::SecurityChoice:
        return processSecurityChoice();
    case State::VeNCryptVersion:
        return processVeNCryptVersion();
    case State::VeNCryptSubtype:
        return processVeNCryptSubtype();
    case State::TlsHandshake:
        return false; // whatever a client sends now goes to the TLS handshake, not here
    case State::AuthResponse:
        return processAuthResponse();
    case State::ClientInit:
        return processClientInit();
    case State::Running:
        return processMessage();
    case State::Closed:
        break;
    }
    return false;
}

bool RfbServerConnection::processVersion()
{
    if (in.size() < 12)
        return false;
    const QByteArray v = in.left(12);
    in.remove(0, 12);
    bool ok = false;
    const int clientMinor = v.mid(8, 3).toInt(&ok);
    if (!v.startsWith("RFB 003.") || v.at(11) != '\n' || !ok || clientMinor < 3) {
        close(tr("клиент прислал неизвестную версию протокола"));
        return false;
    }
    // Unknown minors between the published ones are treated as the one below (RFC 6143).
    minor = qMin(clientMinor >= 8 ? 8 : clientMinor == 7 ? 7 : 3, maxMinor);
    offerSecurity();
    return true;
}

void RfbServerConnection::offerSecurity()
{
    offeredType = tls ? kVeNCrypt : password.isEmpty() ? 1 : 2;
    QByteArray out;
    if (minor == 3) {
        // Version 3.3: the server decides, and nothing follows None but ClientInit.
        putU32(out, offeredType);
        send(out);
        if (offeredType == kVeNCrypt)
            sendVeNCryptVersion();
        else if (offeredType == 2)
            sendChallenge();
        else
            state = State::ClientInit;
        return;
    }
    out.append(char(1));
    out.append(char(offeredType));
    send(out);
    state = State::SecurityChoice;
}

bool RfbServerConnection::processSecurityChoice()
{
    if (in.isEmpty())
        return false;
    const quint8 chosen = quint8(in.at(0));
    in.remove(0, 1);
    if (chosen != offeredType) {
        securityFailed(tr("Выбран способ защиты, который панель не предлагала"));
        return false;
    }
    if (chosen == kVeNCrypt)
        sendVeNCryptVersion();
    else if (chosen == 2)
        sendChallenge();
    else
        sendSecurityOk();
    return true;
}

void RfbServerConnection::sendVeNCryptVersion()
{
    send(QByteArray("\0\2", 2)); // VeNCrypt 0.2
    state = State::VeNCryptVersion;
}

bool RfbServerConnection::processVeNCryptVersion()
{
    if (in.size() < 2)
        return false;
    const bool supported = in.at(0) == 0 && in.at(1) == 2;
    in.remove(0, 2);
    if (!supported) {
        send(QByteArray(1, char(0xff)));
        close(tr("клиент не поддерживает VeNCrypt 0.2"));
        return false;
    }
    subtypes = tls->subtypes(!password.isEmpty());
    QByteArray out(1, '\0'); // the version is accepted
    out.append(char(subtypes.size()));
    for (const quint32 offered : std::as_const(subtypes))
        putU32(out, offered);
    send(out);
    state = State::VeNCryptSubtype;
    return true;
}

bool RfbServerConnection::processVeNCryptSubtype()
{
    if (in.size() < 4)
        return false;
    const quint32 chosen = u32At(in, 0);
    in.remove(0, 4);
    if (!subtypes.contains(chosen)) {
        send(QByteArray(1, '\0'));
        close(tr("Выбран способ защиты, который панель не предлагала"));
        return false;
    }
    subtype = chosen;
    state = State::TlsHandshake;
    // The go-ahead has to reach the client in clear, before the first TLS record: TLS starts
    // once the link has carried it (pace() calls startTls() when its queue empties).
    tlsDue = true;
    send(QByteArray(1, '\1'));
    if (heldBytes == 0)
        startTls();
    return false;
}

void RfbServerConnection::startTls()
{
    auto *ssl = qobject_cast<QSslSocket *>(socket.data());
    if (!std::exchange(tlsDue, false) || state != State::TlsHandshake || !ssl)
        return;
    // The client speaks first in TLS; bytes in clear after its choice are not a ClientHello.
    if (!in.isEmpty()) {
        close(tr("клиент прислал данные в открытом виде перед TLS"));
        return;
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPeerVerifyMode(QSslSocket::VerifyNone); // viewers have no certificate to show
    if (subtype == RfbServerTls::X509None || subtype == RfbServerTls::X509Vnc) {
        config.setLocalCertificate(tls->certificate);
        config.setPrivateKey(tls->key);
    } else {
        // Anonymous Diffie-Hellman: OpenSSL has these suites only at security level 0, and the
        // viewers that use them speak TLS 1.2.
        config.setProtocol(QSsl::TlsV1_2);
        config.setBackendConfigurationOption(
            QByteArrayLiteral("CipherString"), QByteArrayLiteral("aNULL:@SECLEVEL=0"));
    }
    ssl->setSslConfiguration(config);
    ssl->startServerEncryption();
}

void RfbServerConnection::onEncrypted()
{
    if (state != State::TlsHandshake)
        return;
    if (subtype == RfbServerTls::X509Vnc || subtype == RfbServerTls::TlsVnc)
        sendChallenge();
    else
        sendSecurityOk();
}

void RfbServerConnection::sendChallenge()
{
    challenge.resize(16);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(challenge.data()), 4);
    send(challenge);
    state = State::AuthResponse;
}

bool RfbServerConnection::processAuthResponse()
{
    if (in.size() < 16)
        return false;
    std::uint8_t key[8] = {};
    std::memcpy(key, password.constData(), size_t(password.size()));
    d3des::Schedule schedule;
    d3des::setKey(key, d3des::Direction::Encrypt, schedule);
    std::uint8_t expected[16];
    const auto *ch = reinterpret_cast<const std::uint8_t *>(challenge.constData());
    d3des::block(schedule, ch, expected);
    d3des::block(schedule, ch + 8, expected + 8);
    d3des::wipe(schedule);
    std::memset(key, 0, sizeof key);
    // Compared without an early exit, so the time taken says nothing about the bytes.
    unsigned diff = 0;
    for (int i = 0; i < 16; ++i)
        diff |= unsigned(expected[i] ^ quint8(in.at(i)));
    std::memset(expected, 0, sizeof expected);
    in.remove(0, 16);
    if (diff != 0) {
        securityFailed(tr("Неверный пароль"));
        return false;
    }
    sendSecurityOk();
    return true;
}

void RfbServerConnection::securityFailed(const QString &reason)
{
    QByteArray out;
    putU32(out, 1);
    if (minor >= 8)
        putText(out, reason); // only 3.8 carries a reason after a failed result
    send(out);
    close(reason);
}

void RfbServerConnection::sendSecurityOk()
{
    // Versions 3.3 and 3.7 send no SecurityResult after None; VeNCrypt always sends one.
    if (offeredType != 1 || minor >= 8) {
        QByteArray out;
        putU32(out, 0);
        send(out);
    }
    state = State::ClientInit;
}

bool RfbServerConnection::processClientInit()
{
    if (in.isEmpty() || !panel)
        return false;
    const bool shared = in.at(0) != 0;
    in.remove(0, 1);
    const QImage &image = panel->image();
    QByteArray out;
    putU16(out, quint16(image.width()));
    putU16(out, quint16(image.height()));
    out.append(format.toWire());
    putText(out, panel->objectName());
    send(out);
    state = State::Running;
    handshakeTimer->stop();
    if (!shared)
        emit exclusiveRequested();
    return true;
}

bool RfbServerConnection::processMessage()
{
    if (in.isEmpty())
        return false;
    const quint8 type = quint8(in.at(0));
    switch (type) {
    case 0:
        return processSetPixelFormat();
    case 2:
        return processSetEncodings();
    case 3:
        return processUpdateRequest();
    case 4:
        return processKeyEvent();
    case 5:
        return processPointerEvent();
    case 6:
        return processCutText();
    default:
        close(tr("неизвестное сообщение клиента %1").arg(type));
        return false;
    }
}

bool RfbServerConnection::processSetPixelFormat()
{
    if (in.size() < 20)
        return false;
    const PixelFormat wanted = PixelFormat::fromWire(in.constData() + 4);
    in.remove(0, 20);
    const QString refusal = wanted.refusal();
    if (!refusal.isEmpty()) {
        close(refusal);
        return false;
    }
    format = wanted;
    // Whatever the client holds was sent in the old format.
    copyDx = 0;
    dirty = QRegion(panel->image().rect());
    return true;
}

bool RfbServerConnection::processSetEncodings()
{
    if (in.size() < 4)
        return false;
    const int count = u16At(in, 2);
    if (in.size() < 4 + 4 * count)
        return false;
    copyRectOk = desktopSizeOk = false;
    bool chosen = false;
    pixelEncoding = kRaw;
    for (int i = 0; i < count; ++i) {
        const auto encoding = qint32(u32At(in, 4 + 4 * i));
        copyRectOk = copyRectOk || encoding == kCopyRect;
        desktopSizeOk = desktopSizeOk || encoding == kDesktopSize;
        // The list is in the client's order of preference.
        if (!chosen && (encoding == kZrle || encoding == kHextile || encoding == kRaw)) {
            pixelEncoding = encoding;
            chosen = true;
        }
    }
    in.remove(0, 4 + 4 * count);
    if (!copyRectOk && copyDx != 0) {
        dirty += copyArea;
        copyDx = 0;
    }
    return true;
}

bool RfbServerConnection::processUpdateRequest()
{
    if (in.size() < 10)
        return false;
    const bool incremental = in.at(1) != 0;
    const QRect area = QRect(u16At(in, 2), u16At(in, 4), u16At(in, 6), u16At(in, 8))
                           .intersected(panel->image().rect());
    in.remove(0, 10);
    if (!incremental)
        dirty += area;
    requestArea = requested ? requestArea.united(area) : area;
    requested = true;
    scheduleSend();
    return true;
}

bool RfbServerConnection::processKeyEvent()
{
    if (in.size() < 8)
        return false;
    const bool down = in.at(1) != 0;
    const quint32 keysym = u32At(in, 4);
    in.remove(0, 8);
    panel->keyEvent(keysym, down);
    return true;
}

bool RfbServerConnection::processPointerEvent()
{
    if (in.size() < 6)
        return false;
    const quint8 mask = quint8(in.at(1));
    const int x = u16At(in, 2);
    const int y = u16At(in, 4);
    in.remove(0, 6);
    panel->pointerEvent(x, y, mask);
    return true;
}

bool RfbServerConnection::processCutText()
{
    // The panel has no clipboard: the text is skipped.
    if (in.size() < 8)
        return false;
    const quint32 length = u32At(in, 4);
    if (length > kMaxCutText) {
        close(tr("слишком длинный текст буфера обмена"));
        return false;
    }
    if (in.size() < 8 + qsizetype(length))
        return false;
    in.remove(0, 8 + qsizetype(length));
    return true;
}

void RfbServerConnection::onDamage(const QRegion &region)
{
    if (state != State::Running)
        return;
    dirty += region;
    scheduleSend();
}

void RfbServerConnection::onScroll(const QRect &area, int dx)
{
    if (state != State::Running)
        return;
    if (!copyRectOk || (copyDx != 0 && area != copyArea)) {
        dirty += area;
        scheduleSend();
        return;
    }
    // Pixels the client has not got yet move along with the picture; the rest it can move itself.
    const QRegion inside = dirty.intersected(area);
    dirty = dirty.subtracted(area).united(inside.translated(dx, 0).intersected(area));
    const QRect exposed = dx < 0 ? QRect(area.right() + 1 + dx, area.top(), -dx, area.height())
                                 : QRect(area.left(), area.top(), dx, area.height());
    dirty += exposed.intersected(area);
    copyArea = area;
    copyDx += dx;
    if (qAbs(copyDx) >= area.width()) {
        dirty += area;
        copyDx = 0;
    }
    scheduleSend();
}

void RfbServerConnection::onResize()
{
    if (state != State::Running)
        return;
    if (!desktopSizeOk) {
        close(tr("клиент не поддерживает смену размера экрана"));
        return;
    }
    resizePending = true;
    copyDx = 0;
    dirty = QRegion(panel->image().rect());
    scheduleSend();
}

void RfbServerConnection::scheduleSend()
{
    if (sendQueued || !requested)
        return;
    // Panels report a step's changes in several signals; one update carries them all.
    sendQueued = true;
    QTimer::singleShot(0, this, [this]() {
        sendQueued = false;
        sendUpdate();
    });
}

void RfbServerConnection::sendUpdate()
{
    if (state != State::Running || !requested || !panel || !socket)
        return;
    // A client that does not read would otherwise collect frames until memory runs out;
    // the changes wait in `dirty` and go as one update when it has caught up.
    if (queuedBytes() >= frameBytes()) {
        waitingForReader = true;
        return;
    }
    const QImage &image = panel->image();
    const QRegion raw = resizePending ? QRegion(image.rect()) : dirty.intersected(requestArea);
    if (!resizePending && copyDx == 0 && raw.isEmpty())
        return; // an incremental request waits for the next change

    QList<QRect> rects(raw.begin(), raw.end());
    if (rects.size() > kMaxRectangles)
        rects = { raw.boundingRect() };
    const bool sendCopy = copyDx != 0;
    const int count = int(rects.size()) + (resizePending ? 1 : 0) + (sendCopy ? 1 : 0);

    QByteArray out;
    out.append(char(0));
    out.append(char(0));
    putU16(out, quint16(count));
    if (resizePending)
        putRectHeader(out, image.rect(), kDesktopSize);
    if (sendCopy) {
        const int s = qAbs(copyDx);
        const QRect dest = copyDx < 0
            ? QRect(copyArea.left(), copyArea.top(), copyArea.width() - s, copyArea.height())
            : QRect(copyArea.left() + s, copyArea.top(), copyArea.width() - s, copyArea.height());
        putRectHeader(out, dest, kCopyRect);
        putU16(out, quint16(copyDx < 0 ? copyArea.left() + s : copyArea.left()));
        putU16(out, quint16(copyArea.top()));
        stats->copyRects += 1;
    }
    for (const QRect &r : rects) {
        putRectHeader(out, r, pixelEncoding);
        switch (pixelEncoding) {
        case kZrle:
            if (!zrle)
                zrle = std::make_unique<ZrleEncoder>();
            out.append(zrle->encode(image, r, format));
            break;
        case kHextile:
            out.append(HextileEncoder::encode(image, r, format));
            break;
        default:
            out.append(format.encode(image, r));
            break;
        }
        stats->pixels += quint64(r.width()) * quint64(r.height());
    }
    send(out);
    stats->updates += 1;
    stats->rectangles += quint64(count);
    stats->bytes += quint64(out.size());

    dirty -= raw;
    copyDx = 0;
    resizePending = false;
    requested = false;
}

qint64 RfbServerConnection::frameBytes() const
{
    const QImage &image = panel->image();
    // Never below a small floor, so a tiny screen still gets its updates in one piece.
    return qMax<qint64>(qint64(image.width()) * image.height() * (format.bitsPerPixel / 8), 65536);
}

void RfbServerConnection::onBytesWritten()
{
    if (waitingForReader && panel && socket && queuedBytes() < frameBytes()) {
        waitingForReader = false;
        scheduleSend();
    }
}
