#include "rfbtestserver.h"

#include "d3des/d3des.h"
#include "rfbclient.h"

#include <QCoreApplication>

#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <zlib.h>

#include <cstring>

namespace rfbwire {

QByteArray u8(quint8 v)
{
    return QByteArray(1, char(v));
}

QByteArray u16(quint16 v)
{
    QByteArray b(2, Qt::Uninitialized);
    qToBigEndian(v, b.data());
    return b;
}

QByteArray u32(quint32 v)
{
    QByteArray b(4, Qt::Uninitialized);
    qToBigEndian(v, b.data());
    return b;
}

QByteArray s32(qint32 v)
{
    return u32(quint32(v));
}

QByteArray version(int minor)
{
    return QByteArray("RFB 003.") + QByteArray::number(minor).rightJustified(3, '0') + "\n";
}

QByteArray securityTypes(const QList<quint8> &types)
{
    QByteArray b = u8(quint8(types.size()));
    for (quint8 t : types)
        b += char(t);
    return b;
}

QByteArray failureReason(const QByteArray &utf8)
{
    return u32(quint32(utf8.size())) + utf8;
}

QByteArray serverInit(quint16 width, quint16 height, const QByteArray &name)
{
    // The server's own pixel format; the client ignores it and sets its own.
    const QByteArray format = QByteArray::fromHex("2018000100ff00ff00ff100800000000");
    return u16(width) + u16(height) + format + u32(quint32(name.size())) + name;
}

QByteArray handshake38None(quint16 width, quint16 height, const QByteArray &name)
{
    return version(8) + securityTypes({1}) + u32(0) + serverInit(width, height, name);
}

QByteArray update(quint16 rectangles)
{
    return u8(0) + u8(0) + u16(rectangles);
}

QByteArray rectHeader(quint16 x, quint16 y, quint16 w, quint16 h, qint32 encoding)
{
    return u16(x) + u16(y) + u16(w) + u16(h) + s32(encoding);
}

QByteArray solidRaw(quint16 x, quint16 y, quint16 w, quint16 h, QRgb colour)
{
    const char pixel[4] = {char(qBlue(colour)), char(qGreen(colour)), char(qRed(colour)), 0};
    QByteArray body(qsizetype(w) * h * 4, Qt::Uninitialized);
    for (qsizetype i = 0; i < body.size(); i += 4)
        std::memcpy(body.data() + i, pixel, 4);
    return rectHeader(x, y, w, h, 0) + body;
}

QByteArray copyRect(quint16 x, quint16 y, quint16 w, quint16 h, quint16 sourceX, quint16 sourceY)
{
    return rectHeader(x, y, w, h, 1) + u16(sourceX) + u16(sourceY);
}

QByteArray desktopSize(quint16 w, quint16 h)
{
    return rectHeader(0, 0, w, h, -223);
}

QByteArray zrleRect(quint16 x, quint16 y, quint16 w, quint16 h, const QByteArray &tiles)
{
    uLongf size = compressBound(uLong(tiles.size()));
    QByteArray packed(qsizetype(size), Qt::Uninitialized);
    compress(reinterpret_cast<Bytef *>(packed.data()), &size,
        reinterpret_cast<const Bytef *>(tiles.constData()), uLong(tiles.size()));
    return rectHeader(x, y, w, h, 16) + u32(quint32(size)) + packed.left(qsizetype(size));
}

QByteArray bell()
{
    return u8(2);
}

QByteArray cutText(quint32 length)
{
    return u8(3) + QByteArray(3, 0) + u32(length) + QByteArray(qsizetype(length), 'x');
}

QByteArray clientVersion(int minor)
{
    return version(minor);
}

QByteArray setPixelFormat()
{
    return QByteArray::fromHex("00000000" "20180001" "00ff00ff00ff" "100800" "000000");
}

QByteArray setEncodings()
{
    return QByteArray::fromHex("02000003" "00000001" "00000000" "ffffff21");
}

QByteArray setCompressedEncodings(bool zrle)
{
    return u8(2) + u8(0) + u16(zrle ? 5 : 4) + (zrle ? s32(16) : QByteArray()) + s32(5) + s32(1)
        + s32(0) + s32(-223);
}

QByteArray updateRequest(bool incremental, quint16 width, quint16 height)
{
    return u8(3) + u8(incremental ? 1 : 0) + u16(0) + u16(0) + u16(width) + u16(height);
}

QByteArray keyEvent(quint32 keysym, bool down)
{
    return u8(4) + u8(down ? 1 : 0) + u16(0) + u32(keysym);
}

QByteArray pointerEvent(quint16 x, quint16 y, quint8 buttons)
{
    return u8(5) + u8(buttons) + u16(x) + u16(y);
}

QByteArray clientHandshake38None(quint16 width, quint16 height)
{
    return clientVersion(8) + u8(1) + u8(1) + setPixelFormat() + setEncodings()
           + updateRequest(false, width, height);
}

QByteArray vncResponse(const QByteArray &challenge, const QString &password)
{
    std::uint8_t key[8] = {};
    const QByteArray latin = password.toLatin1().left(8);
    std::memcpy(key, latin.constData(), size_t(latin.size()));
    d3des::Schedule schedule;
    d3des::setKey(key, d3des::Direction::Encrypt, schedule);
    QByteArray response(16, Qt::Uninitialized);
    auto *out = reinterpret_cast<std::uint8_t *>(response.data());
    const auto *in = reinterpret_cast<const std::uint8_t *>(challenge.constData());
    d3des::block(schedule, in, out);
    d3des::block(schedule, in + 8, out + 8);
    return response;
}

void settle(RfbClient &client)
{
    while (client.parsingPendingForTest())
        QCoreApplication::processEvents();
}

QImage variedPicture(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const quint32 noise = (quint32(x) * 2654435761u) ^ (quint32(y) * 2246822519u);
            const quint32 cells[8]
                = { 0x3060A0, (x + y) % 2 ? 0xF0F0F0u : 0x102030u, 0x555555u * quint32((x + y) % 4),
                      0x0F1E2Du * quint32((x * 3 + y) % 11), 0x0B0703u * quint32(y % 20 + 1),
                      (quint32(x / 8) * 2654435761u) ^ (quint32(y) * 40503u),
                      y % 8 == 0 || x % 16 == 3 ? 0xFFE000u : 0x202020u, noise ^ (noise >> 13) };
            row[x] = 0xFF000000u | (cells[(x / 64 + y / 64) % 8] & 0xFFFFFFu);
        }
    }
    return image;
}

} // namespace rfbwire

PipeTransport::PipeTransport(QObject *parent) : QIODevice(parent) {}

qint64 PipeTransport::bytesAvailable() const
{
    return in.size() - inPos + QIODevice::bytesAvailable();
}

void PipeTransport::feed(const QByteArray &bytes)
{
    preload(bytes);
    emit readyRead();
    if (settled)
        rfbwire::settle(*settled);
}

void PipeTransport::preload(const QByteArray &bytes)
{
    if (inPos > 0 && inPos == in.size()) {
        in.clear();
        inPos = 0;
    }
    in += bytes;
}

QByteArray PipeTransport::takeWritten()
{
    QByteArray bytes;
    bytes.swap(out);
    return bytes;
}

qint64 PipeTransport::readData(char *data, qint64 maxSize)
{
    const qint64 n = qMin<qint64>(maxSize, in.size() - inPos);
    std::memcpy(data, in.constData() + inPos, size_t(n));
    inPos += n;
    return n;
}

qint64 PipeTransport::writeData(const char *data, qint64 maxSize)
{
    out.append(data, maxSize);
    return maxSize;
}

RfbTestServer::RfbTestServer(QObject *parent) : QObject(parent), server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &RfbTestServer::accept);
}

RfbTestServer::~RfbTestServer()
{
    shutdown();
}

bool RfbTestServer::listen()
{
    return server->listen(QHostAddress::LocalHost, 0);
}

quint16 RfbTestServer::port() const
{
    return server->serverPort();
}

QByteArray RfbTestServer::takeSessionBytes()
{
    QByteArray bytes;
    bytes.swap(session);
    return bytes;
}

void RfbTestServer::send(const QByteArray &bytes)
{
    if (socket)
        socket->write(bytes);
}

void RfbTestServer::closeConnection()
{
    if (socket) {
        socket->flush();
        socket->disconnectFromHost();
    }
}

void RfbTestServer::shutdown()
{
    server->close();
    if (socket) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        socket = nullptr;
    }
}

void RfbTestServer::accept()
{
    while (QTcpSocket *next = server->nextPendingConnection()) {
        // One client at a time: a new connection replaces the previous one.
        if (socket) {
            socket->disconnect(this);
            socket->abort();
            socket->deleteLater();
        }
        socket = next;
        ++connections;
        all.clear();
        pending.clear();
        session.clear();
        rejected = false;
        connect(next, &QTcpSocket::readyRead, this, &RfbTestServer::readClient);
        if (autoHandshake) {
            phase = Phase::Version;
            next->write(rfbwire::version(8));
        } else {
            phase = Phase::Manual;
        }
        emit clientConnected();
    }
}

void RfbTestServer::readClient()
{
    if (!socket)
        return;
    const QByteArray bytes = socket->readAll();
    all += bytes;
    if (phase == Phase::Session || phase == Phase::Manual)
        session += bytes;
    else
        pending += bytes;
    advance();
    emit bytesReceived();
}

void RfbTestServer::advance()
{
    for (;;) {
        switch (phase) {
        case Phase::Version:
            if (pending.size() < 12)
                return;
            pending.remove(0, 12);
            socket->write(rfbwire::securityTypes({quint8(expectedPassword.isEmpty() ? 1 : 2)}));
            phase = Phase::SecurityChoice;
            break;
        case Phase::SecurityChoice:
            if (pending.size() < 1)
                return;
            pending.remove(0, 1);
            if (expectedPassword.isEmpty()) {
                socket->write(rfbwire::u32(0));
                phase = Phase::ClientInit;
            } else {
                challenge = QByteArray::fromHex("00112233445566778899aabbccddeeff");
                socket->write(challenge);
                phase = Phase::Challenge;
            }
            break;
        case Phase::Challenge: {
            if (pending.size() < 16)
                return;
            const QByteArray response = pending.left(16);
            pending.remove(0, 16);
            if (response == rfbwire::vncResponse(challenge, expectedPassword)) {
                socket->write(rfbwire::u32(0));
                phase = Phase::ClientInit;
            } else {
                rejected = true;
                socket->write(rfbwire::u32(1) + rfbwire::failureReason("Authentication failed"));
                phase = Phase::Manual;
                return;
            }
            break;
        }
        case Phase::ClientInit:
            if (pending.size() < 1)
                return;
            pending.remove(0, 1);
            socket->write(rfbwire::serverInit(quint16(screen.width()), quint16(screen.height()),
                                              desktopName));
            phase = Phase::Session;
            session = pending;
            pending.clear();
            emit handshakeFinished();
            return;
        case Phase::Session:
        case Phase::Manual:
            return;
        }
    }
}
