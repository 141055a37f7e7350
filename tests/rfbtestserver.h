#pragma once

// Test helpers for anything that talks RFB through RfbClient.
//
// 1. rfbwire:: builds server messages and the client bytes a test expects, e.g.
//        pipe.feed(rfbwire::handshake38None(800, 480, "panel"));
//        pipe.feed(rfbwire::update(1) + rfbwire::solidRaw(0, 0, 10, 10, 0xFF00FF00));
//
// 2. PipeTransport is an in-memory QIODevice to inject into a client:
//        PipeTransport pipe;
//        RfbClient client(nullptr, &pipe);          // declare the pipe first: it outlives the
//        client pipe.setClient(&client);                   // feed() waits for the client's parsing
//        client.connectToPanel("panel", 5900, "");  // opens the pipe
//        pipe.feed(serverBytes);                    // parsed when feed() returns
//        QCOMPARE(pipe.takeWritten(), expectedClientBytes);
//    The client parses in slices of about 8 ms; on a loaded machine (or in a sanitizer build) a
//    big feed may not be finished within the readyRead call. With setClient(), feed() runs the
//    event loop until the client has no parse continuation queued; without it, call
//    rfbwire::settle(client) before looking at the result.
//    closeFromServer() closes the device as a vanished stream would.
//
// 3. RfbTestServer is a scripted server on QHostAddress::LocalHost, port 0, for tests that need a
//    real socket. By default each connection gets a version 3.8 handshake with security None (or
//    VNC Authentication after setPassword()) and a ServerInit of the chosen size and name; after
//    it, send() and received() script the session. setAutoHandshake(false) leaves every byte to
//    the test.
//        RfbTestServer server;
//        QVERIFY(server.listen());
//        client.connectToPanel("127.0.0.1", server.port(), "");
//        QTRY_VERIFY(server.handshakeDone());
//        server.send(rfbwire::update(0));
//        QTRY_COMPARE(server.received().right(10), rfbwire::updateRequest(true, 800, 480));
//
// Part of the pelorin_testsupport library, which every test links.

#include "rfbclient.h"

#include <QByteArray>
#include <QHostAddress>
#include <QIODevice>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRgb>
#include <QSize>
#include <QString>
#include <QTcpSocket>

class QTcpServer;

namespace rfbwire {

QByteArray u8(quint8 v);
QByteArray u16(quint16 v);
QByteArray u32(quint32 v);
QByteArray s32(qint32 v);

// Server to client.
QByteArray version(int minor); // "RFB 003.00m\n"
QByteArray securityTypes(const QList<quint8> &types);
QByteArray failureReason(const QByteArray &utf8);
QByteArray serverInit(quint16 width, quint16 height, const QByteArray &name);
// Version 3.8, None, SecurityResult 0, ServerInit: everything the server says up to the session.
QByteArray handshake38None(quint16 width, quint16 height, const QByteArray &name = "panel");
QByteArray update(quint16 rectangles);
QByteArray rectHeader(quint16 x, quint16 y, quint16 w, quint16 h, qint32 encoding);
// A Raw rectangle of one colour (0xRRGGBB; the wire's fourth byte is 0).
QByteArray solidRaw(quint16 x, quint16 y, quint16 w, quint16 h, QRgb colour);
QByteArray copyRect(quint16 x, quint16 y, quint16 w, quint16 h, quint16 sourceX, quint16 sourceY);
QByteArray desktopSize(quint16 w, quint16 h);
// A ZRLE rectangle of the tiles as the encoding lays them out, compressed as a whole zlib stream.
QByteArray zrleRect(quint16 x, quint16 y, quint16 w, quint16 h, const QByteArray &tiles);
QByteArray bell();
QByteArray cutText(quint32 length);

// Client to server.
QByteArray clientVersion(int minor);
QByteArray setPixelFormat();
QByteArray setEncodings();
// SetEncodings with compression on: ZRLE (unless left out), Hextile, CopyRect, Raw, DesktopSize.
QByteArray setCompressedEncodings(bool zrle = true);
QByteArray updateRequest(bool incremental, quint16 width, quint16 height);
QByteArray keyEvent(quint32 keysym, bool down);
QByteArray pointerEvent(quint16 x, quint16 y, quint8 buttons);
// What the client writes for handshake38None: version, type 1, ClientInit, set-up, full request.
QByteArray clientHandshake38None(quint16 width, quint16 height);
// The VNC Authentication response to a 16-byte challenge (first 8 Latin-1 bytes of password).
QByteArray vncResponse(const QByteArray &challenge, const QString &password);

// Runs the event loop until the client has no parse continuation queued.
void settle(RfbClient &client);

// A picture with something for every ZRLE and Hextile subencoding in its 64 x 64 cells: one colour,
// 2, 4 and 11 colours at every pixel, rows of one colour, short runs of many, lines, noise.
QImage variedPicture(QSize size);

} // namespace rfbwire

// In-memory transport: server bytes go in with feed(), client bytes come out of written().
class PipeTransport : public QIODevice
{
    Q_OBJECT

public:
    explicit PipeTransport(QObject *parent = nullptr);

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

    // Appends server bytes and emits readyRead at once, so a client parses them synchronously.
    void feed(const QByteArray &bytes);
    // Appends without emitting readyRead (for bytes waiting before the client starts).
    void preload(const QByteArray &bytes);
    QByteArray written() const { return out; }
    QByteArray takeWritten();
    qint64 unreadBytes() const { return in.size() - inPos; }
    void closeFromServer() { close(); }
    // A new connection: what the closed one had not delivered is gone.
    void reopen()
    {
        in.clear();
        inPos = 0;
        open(QIODevice::ReadWrite);
    }
    void setClient(RfbClient *client) { settled = client; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    QByteArray in;
    qsizetype inPos = 0;
    QByteArray out;
    QPointer<RfbClient> settled;
};

class RfbTestServer : public QObject
{
    Q_OBJECT

public:
    explicit RfbTestServer(QObject *parent = nullptr);
    ~RfbTestServer() override;

    bool listen(); // QHostAddress::LocalHost, port 0
    quint16 port() const;

    void setAutoHandshake(bool on) { autoHandshake = on; }
    void setScreen(QSize size, const QByteArray &name)
    {
        screen = size;
        desktopName = name;
    }
    // Offer VNC Authentication only and accept exactly this password; empty = security None.
    void setPassword(const QString &password) { expectedPassword = password; }

    QTcpSocket *connection() const { return socket; }
    bool hasConnection() const { return socket != nullptr; }
    bool handshakeDone() const { return phase == Phase::Session; }
    bool authenticationRejected() const { return rejected; }
    int connectionCount() const { return connections; }

    // Every byte the client sent on the current connection, handshake included.
    QByteArray received() const { return all; }
    // Bytes received after the handshake and not taken yet.
    QByteArray takeSessionBytes();
    void send(const QByteArray &bytes);
    // Closes the current connection from the server side (the client sees a server close).
    void closeConnection();
    // Stops accepting and drops the current connection.
    void shutdown();

signals:
    void clientConnected();
    void handshakeFinished();
    void bytesReceived();

private:
    enum class Phase { Version, SecurityChoice, Challenge, ClientInit, Session, Manual };

    void accept();
    void readClient();
    void advance();

    QTcpServer *server = nullptr;
    QPointer<QTcpSocket> socket;
    bool autoHandshake = true;
    QSize screen{800, 480};
    QByteArray desktopName = "panel";
    QString expectedPassword;
    QByteArray challenge;
    Phase phase = Phase::Manual;
    QByteArray all;
    QByteArray pending; // handshake bytes not yet consumed
    QByteArray session;
    bool rejected = false;
    int connections = 0;
};
