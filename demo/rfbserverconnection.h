#pragma once

#include "pixelformat.h"
#include "rfbserver.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QRegion>
#include <QString>

#include <memory>
#include <optional>

class DemoPanel;
class QTcpSocket;
class QTimer;
class ZrleEncoder;

// The server side of one RFB (RFC 6143) connection to a DemoPanel: version 3.3, 3.7 or 3.8 (no
// later than maxMinor), security None or, with a password, VNC Authentication; or after setTls()
// only VeNCrypt 0.2 (type 19): its version, subtype list and go-ahead in clear, then TLS on the
// same socket with None or the VNC challenge inside and a SecurityResult whatever the version;
// then the
// panel's screen in the client's pixel format with CopyRect, DesktopSize and the first of ZRLE,
// Hextile and Raw that the client's SetEncodings lists (Raw when it lists none of them).
//
// Changes are collected per connection and sent when the client has asked for an update: only
// the changed rectangles for an incremental request, the whole requested area otherwise.
// A client that is not reading gets no new update while about a frame is still queued for it;
// one that has not finished the handshake within handshakeSeconds is closed (the timer carries
// the object name "handshakeTimer", so tests can fire it). setLinkKbps() makes the connection
// behave like a slow link: bytes beyond the rate wait in the connection's own queue.
// finished() is emitted once, when the socket has closed; the owner then deletes the object.
class RfbServerConnection : public QObject
{
    Q_OBJECT

public:
    // As long as a viewer waits for a panel's answer.
    static constexpr int handshakeSeconds = 12;

    RfbServerConnection(QTcpSocket *socket, DemoPanel *panel, const QString &password, int maxMinor,
        RfbServerStats *stats, QObject *parent = nullptr);
    ~RfbServerConnection() override;

    // At most kbps kilobits (1000 bits) per second from now on; 0: as fast as the socket takes.
    // TLS adds its own records on top of the bytes counted.
    void setLinkKbps(int kbps);
    // VeNCrypt with tls's subtypes instead of the plain types; the socket is a QSslSocket. Called
    // before the client's version has been read.
    void setTls(const RfbServerTls &tls);

    // Closes the connection after the bytes already queued (the client sees the server close).
    void close(const QString &reason = {});
    bool isRunning() const { return state == State::Running; }
    int negotiatedMinor() const { return minor; }

signals:
    // ClientInit asked for exclusive access: the others viewing this panel should go.
    void exclusiveRequested();
    void finished();

private:
    enum class State {
        Version,
        SecurityChoice,
        VeNCryptVersion,
        VeNCryptSubtype,
        TlsHandshake,
        AuthResponse,
        ClientInit,
        Running,
        Closed
    };

    void readClient();
    bool step();
    bool processVersion();
    bool processSecurityChoice();
    bool processVeNCryptVersion();
    bool processVeNCryptSubtype();
    bool processAuthResponse();
    bool processClientInit();
    bool processMessage();
    bool processSetPixelFormat();
    bool processSetEncodings();
    bool processUpdateRequest();
    bool processKeyEvent();
    bool processPointerEvent();
    bool processCutText();
    void offerSecurity();
    void sendVeNCryptVersion();
    void startTls();
    void onEncrypted();
    void sendChallenge();
    void securityFailed(const QString &reason);
    void sendSecurityOk();

    void onDamage(const QRegion &region);
    void onScroll(const QRect &area, int dx);
    void onResize();
    void scheduleSend();
    void sendUpdate();
    qint64 frameBytes() const;
    void onBytesWritten();
    // Every byte to the client goes through send(), so the link limit holds for all of them.
    void send(const QByteArray &bytes);
    void pace();
    qint64 queuedBytes() const;

    QPointer<QTcpSocket> socket;
    QPointer<DemoPanel> panel;
    QByteArray password;
    RfbServerStats *stats;
    QByteArray in;
    State state = State::Version;
    int maxMinor;
    int minor = 0;
    quint8 offeredType = 1;
    QByteArray challenge;
    std::optional<RfbServerTls> tls;
    QList<quint32> subtypes; // offered by this connection
    quint32 subtype = 0; // the VeNCrypt subtype the client chose
    bool tlsDue = false; // the go-ahead has been sent: TLS starts once the link has carried it

    PixelFormat format;
    qint32 pixelEncoding = 0; // Raw
    std::unique_ptr<ZrleEncoder> zrle; // one zlib stream for the whole connection
    bool copyRectOk = false;
    bool desktopSizeOk = false;
    bool requested = false;
    QRect requestArea;
    QRegion dirty;
    QRect copyArea; // pending sideways move of copyArea by copyDx, sent as one CopyRect
    int copyDx = 0;
    bool resizePending = false;
    bool sendQueued = false;
    bool waitingForReader = false; // an update is due once the queue has drained
    QTimer *handshakeTimer = nullptr;

    qint64 linkBytesPerSecond = 0;
    QList<QByteArray> held; // bytes the link has not carried yet, oldest first
    qsizetype heldOffset = 0; // of held.first(), already written
    qint64 heldBytes = 0;
    double tokens = 0;
    QElapsedTimer sinceRefill;
    QTimer *paceTimer = nullptr;
};
