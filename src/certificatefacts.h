#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

struct PanelProfile;

// What the operator is shown about a panel's certificate before trusting it: the panel, the
// certificate's subject, issuer and validity, and in words what is wrong with it beyond not
// being trusted by the system (expired, not yet valid, issued for another address). A plain
// value without widgets; the dialog and the journal read it.
struct CertificateFacts
{
    Q_DECLARE_TR_FUNCTIONS(CertificateFacts)

public:
    // Describes `certificate` as presented by `profile`'s panel, its dates judged at `now`.
    static CertificateFacts describe(
        const PanelProfile &profile, const QSslCertificate &certificate, const QDateTime &now);

    // Whether the certificate names `host`: an IP address among its IP names, a host name
    // among its DNS names (a leading "*." stands for one label), or, when it has no names of
    // either kind, in its common name. Case does not matter; IPv6 is compared as an address.
    static bool namesHost(const QSslCertificate &certificate, const QString &host);
    // "dd.MM.yyyy" in local time, as the dialog and the journal write dates.
    static QString date(const QDateTime &at);

    QString panelName;
    QString address; // "host : port"
    QString subject; // who it was issued to, or "не указано"
    QString issuer;
    QString validity; // "с dd.MM.yyyy по dd.MM.yyyy"
    QByteArray sha256; // of the certificate's DER
    QString fingerprint; // sha256 in groups of four
    bool expired = false;
    bool notYetValid = false;
    bool hostNamed = false;
    // One sentence per finding, in the order above; empty when dates and name are in order.
    QStringList warnings;
};
