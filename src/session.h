#pragma once

#include "panelprofile.h"

#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <QSslCertificate>
#include <QWidget>

#include <functional>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTimer;
class RemoteView;
class RfbClient;

// One open panel: the header with its tools, the remote picture and the status
// lines, and the life of its connection (start, progress, automatic retries
// after transport failures, stop). The session owns its RfbClient (as a Qt
// child) and its RemoteView, and keeps a private copy of the panel's record;
// the owner learns about the connection only through the signals.
class Session : public QWidget
{
    Q_OBJECT

public:
    // Automatic attempts allowed since the user last pressed connect.
    static constexpr int maxRetries = 5;

    // Builds the header and the view; does not connect.
    explicit Session(const PanelProfile &profile, QWidget *parent = nullptr);
    // Releases held input on the panel, closes the connection silently and
    // wipes the password; emits nothing.
    ~Session() override;

    // The user's connect: resolves the password (which may ask, and asks for a user
    // name too after an attempt ended because the panel wanted one), then starts an
    // attempt. Does nothing while engaged, or when the password prompt was
    // cancelled or its answer rejected.
    void startConnection();
    // The user's disconnect, from any state; always journals.
    void disconnectByUser();
    // Takes a new copy of the record; ignored while engaged.
    void applyProfile(const PanelProfile &profile);
    // Marks the session as the one that receives keyboard and pointer input.
    void setSelected(bool selected);
    // Hides (true) or shows the title and address lines.
    void setCompact(bool compact);

    // The SHA-256 of the certificate the current attempt waits on (see
    // certificateQuestion()); empty when it waits on none.
    const QByteArray &awaitedCertificate() const { return awaitedSha; }
    // The operator's word on the awaited certificate, named by its SHA-256 (any other
    // is ignored). Trusted: the session's copy of the record keeps it as its pin, so
    // automatic attempts do not ask again, and the attempt goes on. Refused: the
    // attempt ends with "Подлинность панели не подтверждена оператором.", not retryable.
    // Never call either from inside certificateQuestion().
    void trustCertificate(const QByteArray &sha256);
    void refuseCertificate(const QByteArray &sha256);

    bool isEngaged() const { return engaged; }
    // Whether the connection is up and carries input (the client's handshake is done).
    bool isLive() const;
    // Releases every key and pointer button the view holds down on the panel.
    void releaseInput();
    // Index of the zoom selector's current item: 0 fit, then 100, 125, 150, 200 %.
    int zoomIndex() const;
    // Selects a zoom item; an index outside the list is ignored.
    void setZoomIndex(int index);
    QString profileId() const { return profileCopy.id; }
    const PanelProfile &profile() const { return profileCopy; }

    // A marked copy of the current framebuffer, stamped with `at`.
    QImage renderSnapshot(const QDateTime &at) const;

    // The delay before automatic attempt n + 1, in seconds: 3, 6, 12, 24, 30.
    static int retryDelaySeconds(int attemptsMade);
    // The frame-age line for a picture of `size` received at `last`, seen at
    // `now`; a negative age counts as 0.
    static QString frameAgeText(const QSize &size, const QDateTime &last, const QDateTime &now);
    // The status line while automatic attempt `attempt` waits `delaySeconds`.
    static QString retryStatusText(const QString &reason, int attempt, int delaySeconds);
    // Longest end reason the status line shows; the journal keeps more.
    static constexpr int maxShownReasonLength = 200;
    // reason as the status line shows it: a server's own words (up to 64 KiB)
    // cut to maxShownReasonLength characters, the last one an ellipsis.
    static QString shownReason(const QString &reason);

    // Test seam: the two timers carry the object names "reconnectTimer" and
    // "frameAgeTimer" (find them with findChild and emit their timeout instead
    // of waiting), and the frame-age clock can be replaced.
    void setClock(std::function<QDateTime()> now);

signals:
    void titleStatus(bool connected);
    void activationRequested();
    void expandRequested();
    void closeRequested();
    void journal(const QString &message);
    // An attempt the operator started waits for a word on a certificate the system does
    // not trust: the owner asks (later, from its event loop, never from this signal) and
    // answers with trustCertificate() or refuseCertificate(). Automatic attempts end
    // instead of asking.
    void certificateQuestion(const QSslCertificate &certificate);
    // The attempt that asked has ended or was dropped: its question is void.
    void certificateQuestionVoid();

private:
    void buildHeader();
    bool resolvePassword();
    void connectClient();
    void setOnline(bool online);
    void repolish(QWidget *widget);
    void refreshFrameAge();

    void onConnected();
    void onFrameChanged();
    void onEnded(const QString &reason);
    // The end of an attempt, from the client or from the session itself: status, journal
    // (the reason, then `details`), then the retry decision.
    void finishAttempt(const QString &reason, bool retryable, const QStringList &details = {});
    void onCertificateUnknown(const QSslCertificate &certificate);
    // Ends the attempt waiting on a certificate nobody confirmed.
    void endUnconfirmed();
    // Drops the awaited certificate, telling the owner its question is void.
    void forgetAwaitedCertificate();
    void updateEncryptionBadge();
    void onReconnectTimeout();
    void onDisconnectClicked();
    void onZoomChanged(int index);
    void onViewOnlyToggled(bool checked);
    void onSnapshot();
    void onKeyboard();
    void onCtrlAltDel();
    void onNotes();

    PanelProfile profileCopy;
    RfbClient *client = nullptr;
    RemoteView *view = nullptr;

    QLabel *statusLabel = nullptr;
    QLabel *frameAgeLabel = nullptr;
    QLabel *titleLabel = nullptr;
    QLabel *addressLabel = nullptr;
    QWidget *encryptionBadge = nullptr;
    QLabel *lockIcon = nullptr;
    QLabel *encryptionNote = nullptr;
    QPushButton *connectButton = nullptr;
    QPushButton *disconnectButton = nullptr;
    QComboBox *zoomSelector = nullptr;
    QCheckBox *viewOnlyBox = nullptr;
    QAction *refreshAction = nullptr;
    QAction *snapshotAction = nullptr;
    QAction *keyboardAction = nullptr;
    QAction *ctrlAltDelAction = nullptr;
    QAction *notesAction = nullptr;

    QTimer *reconnectTimer = nullptr;
    QTimer *frameAgeTimer = nullptr;
    QDateTime lastFrameAt;
    int retryCount = 0;
    // Frames for which the status line keeps saying that the panel asked for no password.
    int warningFrames = 0;
    bool engaged = false;
    bool disconnectedByUser = false;
    bool automaticAttempt = false; // the attempt under way was started by the reconnect timer
    // An attempt ended because the panel wanted a user name: the next connect asks for one.
    bool userNameWanted = false;
    QByteArray awaitedSha;
    std::function<QDateTime()> clock;
};
