#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>

#include <functional>

class QWidget;
class Session;
class UserPrompts;

// The operator's questions about panels' certificates, one at a time across all sessions.
// A session's question is asked from the event loop (never inside the signal that raised
// it), in the order they came; one that is withdrawn (its attempt ended) before it is asked
// is dropped, and one withdrawn while asked is closed and its answer ignored. Answers go
// back to the session; a trusted certificate is announced first through certificateTrusted(),
// so the owner can store it in the record before the attempt goes on.
class CertificateQuestions : public QObject
{
    Q_OBJECT

public:
    // Dialogs open over `window` through whatever prompts() returns at the time.
    CertificateQuestions(QWidget *window, std::function<UserPrompts &()> prompts);
    ~CertificateQuestions() override;

    // Queues the question of `session`'s attempt about `certificate`.
    void ask(Session *session, const QSslCertificate &certificate);
    // The session's question is void: dropped when queued, closed when open.
    void withdraw(Session *session);
    // Whether a question is open now.
    bool isAsking() const { return !asking.isNull(); }
    int pending() const { return int(queue.size()); }

    // Test seam: replaces the clock by which certificates are judged expired.
    void setClock(std::function<QDateTime()> now);

signals:
    // The operator trusted the certificate (its SHA-256) for the record `id`.
    void certificateTrusted(const QString &id, const QByteArray &sha256);

private:
    struct Request
    {
        QPointer<Session> session;
        QSslCertificate certificate;
    };

    void schedule();
    void askNext();

    QWidget *window;
    std::function<UserPrompts &()> prompts;
    std::function<QDateTime()> clock;
    QList<Request> queue;
    QPointer<Session> asking;
    bool withdrawn = false;
    bool scheduled = false;
};
