#pragma once

#include "pixelformat.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QRegion>
#include <QString>

class DemoPanel;
class QTcpSocket;
class QTimer;
struct RfbServerStats;

// The server side of one RFB (RFC 6143) connection to a DemoPanel: version 3.3, 3.7 or 3.8 (no
// later than maxMinor), security None or, with a password, VNC Authentication; then the
// panel's screen in the client's pixel format with Raw, CopyRect and DesktopSize.
//
// Changes are collected per connection and sent when the client has asked for an update: only
// the changed rectangles for an incremental request, the whole requested area otherwise.
// A client that is not reading gets no new update while about a frame is still queued for it;
// one that has not finished the handshake within handshakeSeconds is closed (the timer carries
// the object name "handshakeTimer", so tests can fire it).
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

    // Closes the connection after the bytes already queued (the client sees the server close).
    void close(const QString &reason = {});
    bool isRunning() const { return state == State::Running; }
    int negotiatedMinor() const { return minor; }

signals:
    // ClientInit asked for exclusive access: the others viewing this panel should go.
    void exclusiveRequested();
    void finished();

private:
    enum class State { Version, SecurityChoice, AuthResponse, ClientInit, Running, Closed };

    void readClient();
    bool step();
    bool processVersion();
    bool processSecurityChoice();
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

    PixelFormat format;
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
};
