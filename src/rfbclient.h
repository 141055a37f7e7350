#pragma once

#include "damagecollector.h"
#include "hextiledecoder.h"
#include "securitychoice.h"
#include "workbudget.h"
#include "zrledecoder.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QList>
#include <QRegion>
#include <QSslCertificate>
#include <QSslSocket>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <functional>

class QIODevice;
namespace SocketReceive {
struct Span;
}

// One RFB (RFC 6143) client connection to a panel: versions 3.3, 3.7 and 3.8, security None and
// VNC Authentication (and VeNCrypt over TLS when encryption is asked for), a 32-bit true-colour framebuffer kept up to date with Raw, CopyRect and
// DesktopSize (and ZRLE and Hextile when compression is on), and the key and pointer messages of
// the running session.
//
// Contract:
//  - connectToPanel() starts an attempt (silently dropping any previous one); status() reports
//    progress, connected() then frameChanged() mark the end of the handshake.
//  - ended() is emitted at most once per attempt, after the client has been reset to Idle, so a
//    receiver may call connectToPanel() from its slot; retryable() tells whether trying again
//    could help (transport loss, timeout) or not (protocol, authentication, resources).
//  - disconnectFromPanel() is a silent reset; the last framebuffer stays readable.
//  - frameChanged() is emitted after ServerInit and once per completely applied
//    FramebufferUpdate (a DesktopSize inside an update may change the image size before that);
//    changedRegion() then tells which part of the framebuffer it changed. While an update is
//    being read, its pixels land in the framebuffer as they arrive (Raw row by row, ZRLE and
//    Hextile tile by tile).
//  - The senders only write while isLive(); otherwise input is dropped, never queued.
//  - Work beyond the bytes a panel sends (new screens, copies, pixels decoded beyond their bytes)
//    comes from a budget refilled with time; while it is overdrawn the client stops reading that panel (TCP
//    then slows the server) and its response and keep-alive timers wait too. New screens are
//    bounded between two of the client's update requests; past that the attempt ends, not
//    retryable. One turn of the event loop takes on at most one screen area of that work and
//    the step that crosses it.
//
//  - Encryption (off unless asked for): with a pinned certificate only the pin decides; without
//    one, a certificate the system does not trust for the host pauses the TLS handshake and
//    certificateUnknown() is emitted; nothing is sent until acceptCertificate() names it or the
//    attempt is dropped. The response timer does not run while the operator decides.
//
// When a transport device is injected, it is read and written instead of the own socket; the
// client opens it if it is closed but never closes it, and the caller keeps its ownership. A
// device that closes or is destroyed under a live attempt ends it as a closed stream.
class RfbClient : public QObject
{
    Q_OBJECT

public:
    enum ProtocolState : quint32 {
        Idle,
        AwaitVersion,
        AwaitSecurityType,
        AwaitSecurityTypes,
        AwaitChallenge,
        AwaitSecurityResult,
        AwaitFailureReason,
        AwaitServerInit,
        Running,
        ReadingRectangles,
        AwaitVeNCryptVersion,
        AwaitVeNCryptAck,
        AwaitVeNCryptSubtypes,
        AwaitVeNCryptGo,
        AwaitTlsHandshake,
    };
    Q_ENUM(ProtocolState)

    enum class Encryption { Off, Preferred, Required };

    explicit RfbClient(QObject *parent = nullptr, QIODevice *transport = nullptr);
    ~RfbClient() override;

    void connectToPanel(const QString &host, quint16 port, const QString &password);
    // Asks the panel for ZRLE and Hextile too, from the next connectToPanel(): for slow links.
    // Off, the client asks for and accepts only CopyRect, Raw and DesktopSize.
    void setCompression(bool on) { compression = on; }
    // VeNCrypt over TLS, from the next connectToPanel(). Off: the handshake of a plain client,
    // byte for byte. Preferred: encrypted when the panel offers it. Required: encrypted or not
    // at all.
    void setEncryption(Encryption mode) { encryption = mode; }
    // The SHA-256 of the panel's certificate (its DER) that alone decides, from the next
    // connectToPanel(); empty: none. A pin that is not 32 bytes long matches no certificate.
    void setTrustedCertificate(const QByteArray &sha256) { pin = sha256; }
    // For the Plain log-in inside TLS; empty: Plain subtypes are avoided.
    void setUserName(const QString &name) { userName = name; }
    // Lets a paused handshake go on with the certificate certificateUnknown() showed, named by
    // its SHA-256. Ignored for any other certificate and once the attempt has ended.
    void acceptCertificate(const QByteArray &sha256);
    void disconnectFromPanel();

    void requestFullUpdate();
    void sendKey(quint32 keysym, bool down);
    void sendPointer(quint16 x, quint16 y, quint8 buttonMask);

    // The panel screen in RGB32: null from connectToPanel() until ServerInit, kept after the
    // connection ends so that the last picture can still be shown.
    const QImage &framebuffer() const;
    // The part of the framebuffer that the last frameChanged() announced: the union of that
    // update's rectangles, or the whole frame after ServerInit or a DesktopSize.
    const QRegion &changedRegion() const { return changed; }
    bool isLive() const;
    bool retryable() const;
    // Whether the handshake that ended in connected() answered a VNC password challenge; false
    // when the panel settled on security None.
    bool passwordUsed() const { return usedPassword; }
    // While an update is being read: whether its bytes still come (some came within the last
    // quarter of the response time, or wait unread). After the response timer ended an attempt:
    // whether they still came then, as on a link too slow for the update within 12 s.
    bool updateArriving() const;

    // The live session runs inside TLS; its certificate was checked (pin, system trust or the
    // operator's acceptance): false for anonymous TLS.
    bool isEncrypted() const { return encrypted; }
    bool isAuthenticated() const { return authenticated; }
    // Protocol, cipher and certificate fingerprint of the encrypted session; empty otherwise.
    QString encryptionDescription() const { return description; }
    // The certificate of the encrypted session (null for anonymous TLS).
    const QSslCertificate &peerCertificate() const { return peerCert; }
    // Facts of the last attempt, readable after ended(): the panel wanted a user name; the
    // security types it offered (one for 3.3); the SHA-256 it presented against a pin that did
    // not match.
    bool needsUserName() const { return userNameNeeded; }
    const QList<quint32> &offeredSecurityTypes() const { return offeredTypes; }
    const QByteArray &presentedCertificateSha256() const { return presentedSha; }
    // The last attempt ended on the ZRLE or Hextile decoder's refusal of the panel's data.
    bool decoderFailed() const { return decoderRefused; }
    // Upper-case hexadecimal in groups of four, as an operator compares fingerprints.
    static QString groupedFingerprint(const QByteArray &sha256);

    // Test seam: tests fire these timers instead of waiting out 12 s, 35 ms or 15 s, and look
    // at the state and the buffers. The program itself never calls these.
    QTimer *responseTimerForTest() { return &responseTimer; }
    QTimer *updateTimerForTest() { return &updateTimer; }
    QTimer *keepAliveTimerForTest() { return &keepAliveTimer; }
    // Reading paused for the work budget, the timer that resumes it, and the clock (milliseconds)
    // the budget refills by; tests drive it in fake time.
    bool throttledForTest() const { return throttled; }
    QTimer *resumeTimerForTest() { return &resumeTimer; }
    void setClockForTest(std::function<qint64()> now) { clock = std::move(now); }
    // Pixels of work beyond the bytes charged since connectToPanel(), and the budget's terms.
    qint64 workDoneForTest() const { return workDone; }
    static qint64 workCapacityForTest();
    static qint64 workPerSecondForTest();
    ProtocolState stateForTest() const { return state; }
    qsizetype bufferedBytesForTest() const;
    qsizetype passwordBytesForTest() const { return passwordBytes.size(); }
    // True while a parse continuation is queued (a slice ran out of time with input left).
    bool parsingPendingForTest() const { return continuationPending; }
    // With compression on, leave ZRLE out of the encodings asked for (from the next
    // connectToPanel()), so a real server answers with Hextile.
    void setZrleOfferedForTest(bool offered) { zrleOffered = offered; }
    // True while the TLS handshake waits for the operator's word on the certificate.
    bool awaitingCertificateForTest() const { return awaitingOperator; }
    // Screen areas of work beyond the bytes (rounded up; a new screen counts as four) that the
    // busiest pass over the input has caused. A pass is one turn of the event loop.
    int busiestPassForTest() const;
    // Rectangles of this encoding (0, 1, 5 or 16) received since connectToPanel().
    qint64 rectanglesForTest(qint32 encoding) const;

signals:
    void status(const QString &text);
    void connected(const QString &name);
    void ended(const QString &reason);
    void frameChanged();
    // The panel presented a certificate the system does not trust and no pin decides: the
    // handshake waits for acceptCertificate() or disconnectFromPanel().
    void certificateUnknown(const QSslCertificate &certificate);

private:
    void fail(const QString &reason, bool retryable);
    void processInput();
    bool parseStep();
    QByteArrayView takeBytes(qsizetype n);
    void beginSecurity(quint32 type);
    void sendClientInit();
    bool allocateFramebuffer(int width, int height);
    void sendUpdateRequest(bool incremental);

    void handleConnected();
    void handleReadyRead();
    void handleSocketError(QAbstractSocket::SocketError error);
    void handleUpdateTimer();
    void handleKeepAlive();
    void handleSslErrors();
    void handleEncrypted();
    void startTls();
    void runInnerStep();
    bool strictEncryption() const;
    QTcpSocket *ownSocket() const;
    bool pullInput();
    void scheduleContinuation();
    void completeHandshake(const QString &name);
    // One function per state, or per message of the running session.
    class WireReader;
    void take(const WireReader &in);
    bool need(const WireReader &in, qsizetype size);
    bool readVersion(WireReader &in);
    bool readSecurityType(WireReader &in);
    bool readSecurityTypes(WireReader &in);
    bool readChallenge(WireReader &in);
    bool readSecurityResult(WireReader &in);
    bool readFailureReason(WireReader &in);
    bool readServerInit(WireReader &in);
    bool readVeNCryptVersion(WireReader &in);
    bool readVeNCryptAck(WireReader &in);
    bool readVeNCryptSubtypes(WireReader &in);
    bool readVeNCryptGo(WireReader &in);
    bool readServerMessage(WireReader &in);
    bool readFramebufferUpdate(WireReader &in);
    bool readRectangle(WireReader &in);
    bool applyDesktopSize(int width, int height);
    void chargeWork(qint64 pixels);
    void throttle();
    void spendBudget(qint64 pixels);
    qint64 nowMs() const;
    bool spendWork(qint64 units);
    void applyCopyRect(const QRect &area, int sourceX, int sourceY);
    bool finishRectangle();
    bool readRawPixels();
    bool readEncodedPixels();
    qint64 receiveDirect(const SocketReceive::Span *spans, int count);
    void setDirectRead(bool on);
    void wakeAt(qint64 bytes);
    qint64 waitingInput();
    void addDamage(const QRect &area);
    void writeBytes(const char *data, qsizetype size);

    ProtocolState state = Idle;
    quint64 attempt = 0; // counts resets, so code running on after a failure can tell
    QTcpSocket socket; // plain sessions: read directly while live
    QSslSocket tlsSocket; // sessions that may encrypt: read through its decrypted buffer
    QPointer<QIODevice> transport;
    bool injected = false;
    QTimer responseTimer;
    QTimer updateTimer;
    QTimer keepAliveTimer;
    QByteArray inputBuffer;
    qsizetype readPos = 0; // bytes of inputBuffer already parsed; compacted now and then
    QByteArray passwordBytes;
    QByteArray plainPassword; // the whole password in UTF-8, for the Plain log-in only
    QImage fb;
    int protocolMinor = 8;
    quint16 rectanglesLeft = 0;
    // Size of the message at readPos when it is known but not yet wholly buffered.
    qsizetype pendingSize = 0;
    // The Raw rectangle whose pixels are being read: rows done and bytes of the current row.
    QRect rawArea;
    int rawRow = 0;
    qsizetype rawRowBytes = 0;
    // The encodings beyond the plain ones: asked for from the next attempt, and by this one.
    bool compression = false;
    bool zrleOffered = true;
    bool askedZrle = false;
    bool askedHextile = false;
    ZrleDecoder zrle; // its zlib stream lasts for one connection
    HextileDecoder hextile;
    RectangleDecoder *decoding = nullptr; // the decoder of the rectangle being read, if any
    qint64 rectangleCounts[4] = {}; // Raw, CopyRect, Hextile, ZRLE
    bool readingDirectly = false; // the own socket of a live session is read behind Qt's buffer
    qint64 wakeBytes = 1; // the socket's receive low-water mark while read directly
    bool drained = false; // the descriptor had nothing in this pass over the input
    // Work the panel may still cause before our next update request, beyond the bytes it sends
    // (see chargeWork()).
    qint64 workLeft = 0;
    WorkBudget budget; // the rest of that work, refilled with time
    QTimer resumeTimer;
    bool throttled = false; // not reading until the budget is repaid
    bool overdrawn = false; // this pass has overdrawn the budget
    qint64 workDone = 0;
    std::function<qint64()> clock;
    QElapsedTimer monotonic;
    qint64 passWork = 0; // of that work, caused in the current pass over the input
    qint64 mostPassWork = 0; // in the busiest pass so far
    DamageCollector damage; // collected for the update being read
    QRegion changed; // announced by the last frameChanged()
    bool fullUpdatePending = false;
    bool retry = false;
    bool continuationPending = false;
    bool usedPassword = false; // the security type chosen was VNC Authentication
    // Encryption asked for by the next attempt, and what this attempt runs with.
    Encryption encryption = Encryption::Off;
    QByteArray pin;
    QString userName;
    Encryption attemptEncryption = Encryption::Off;
    QByteArray attemptPin;
    QString attemptUser;
    QString attemptHost;
    bool viaVeNCrypt = false; // a SecurityResult follows the inner step, whatever the version
    quint32 subtype = 0;
    bool awaitingOperator = false;
    QByteArray waitingSha; // the certificate the operator is asked about
    bool encrypted = false;
    bool authenticated = false;
    QString description;
    QSslCertificate peerCert;
    bool userNameNeeded = false;
    bool decoderRefused = false;
    QList<quint32> offeredTypes;
    QByteArray presentedSha;
    QElapsedTimer lastArrival; // bytes came while an update was being read
    bool endedArriving = false; // updateArriving() when the response timer ended the attempt
};
