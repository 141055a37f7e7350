#include "certificatequestions.h"

#include "certificatefacts.h"
#include "session.h"
#include "userprompts.h"

#include <QTimer>

#include <utility>

CertificateQuestions::CertificateQuestions(QWidget *window, std::function<UserPrompts &()> prompts)
    : QObject(window)
    , window(window)
    , prompts(std::move(prompts))
    , clock(&QDateTime::currentDateTime)
{
}

CertificateQuestions::~CertificateQuestions() = default;

void CertificateQuestions::setClock(std::function<QDateTime()> now)
{
    clock = std::move(now);
}

void CertificateQuestions::ask(Session *session, const QSslCertificate &certificate)
{
    withdraw(session); // an attempt asks once; a new one replaces what an old one left
    queue.append({ session, certificate });
    schedule();
}

void CertificateQuestions::withdraw(Session *session)
{
    queue.removeIf([session](const Request &request) {
        return !request.session || request.session == session;
    });
    if (asking && asking == session) {
        withdrawn = true;
        prompts().closeCertificateQuestion();
    }
}

void CertificateQuestions::schedule()
{
    if (scheduled || queue.isEmpty())
        return;
    scheduled = true;
    // The question runs its own event loop: never inside the signal of the client that raised
    // it, and never inside another question.
    QTimer::singleShot(0, this, &CertificateQuestions::askNext);
}

void CertificateQuestions::askNext()
{
    scheduled = false;
    // One at a time: the question that is open schedules the next when it is answered.
    if (asking || queue.isEmpty())
        return;
    const Request request = queue.takeFirst();
    Session *session = request.session;
    const CertificateFacts facts = session
        ? CertificateFacts::describe(session->profile(), request.certificate, clock())
        : CertificateFacts();
    if (session && !facts.sha256.isEmpty() && session->awaitedCertificate() == facts.sha256) {
        asking = session;
        withdrawn = false;
        QPointer<CertificateQuestions> self(this);
        const bool trusted = prompts().trustCertificate(window, facts);
        if (!self)
            return;
        const QPointer<Session> answered = std::exchange(asking, nullptr);
        if (answered && !withdrawn && answered->awaitedCertificate() == facts.sha256) {
            if (trusted) {
                emit certificateTrusted(answered->profileId(), facts.sha256);
                if (answered)
                    answered->trustCertificate(facts.sha256);
            } else {
                answered->refuseCertificate(facts.sha256);
            }
        }
        if (!self)
            return;
    }
    schedule();
}
