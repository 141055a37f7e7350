#include "certificatefacts.h"

#include "panelprofile.h"

#include <QCryptographicHash>
#include <QHostAddress>

namespace {

// Who a certificate names, as the dialog shows it: the display name Qt builds from the
// subject or issuer, with the organisation when it adds something.
QString nameOf(const QString &display, const QStringList &organisations)
{
    QString shown = display.trimmed();
    const QString organisation = organisations.join(QStringLiteral(", ")).trimmed();
    if (!organisation.isEmpty() && organisation != shown)
        shown = shown.isEmpty() ? organisation : QStringLiteral("%1 (%2)").arg(shown, organisation);
    return shown;
}

bool matchesDnsName(const QString &pattern, const QString &host)
{
    const QString name = pattern.toLower();
    if (!name.startsWith(QLatin1String("*.")))
        return name == host;
    // A wildcard stands for exactly one label, never for a dot.
    const qsizetype dot = host.indexOf(QLatin1Char('.'));
    return dot > 0 && host.mid(dot) == name.mid(1);
}

} // namespace

QString CertificateFacts::date(const QDateTime &at)
{
    return at.toLocalTime().toString(QStringLiteral("dd.MM.yyyy"));
}

bool CertificateFacts::namesHost(const QSslCertificate &certificate, const QString &host)
{
    const QString wanted = PanelProfile::normalizedHost(host).toLower();
    const auto names = certificate.subjectAlternativeNames();
    const QHostAddress address(wanted);
    if (!address.isNull()) {
        for (const QString &entry : names.values(QSsl::IpAddressEntry))
            if (QHostAddress(entry).isEqual(address, QHostAddress::StrictConversion))
                return true;
        // Some panels put their address in the common name only.
        if (!names.contains(QSsl::IpAddressEntry))
            for (const QString &common : certificate.subjectInfo(QSslCertificate::CommonName))
                if (QHostAddress(common.trimmed()).isEqual(address, QHostAddress::StrictConversion))
                    return true;
        return false;
    }
    const QString dnsName = wanted.endsWith(QLatin1Char('.')) ? wanted.chopped(1) : wanted;
    QStringList patterns = names.values(QSsl::DnsEntry);
    // The common name counts only where the certificate has no DNS names, as browsers have it.
    if (patterns.isEmpty())
        patterns = certificate.subjectInfo(QSslCertificate::CommonName);
    for (const QString &pattern : std::as_const(patterns))
        if (matchesDnsName(pattern.trimmed(), dnsName))
            return true;
    return false;
}

CertificateFacts CertificateFacts::describe(
    const PanelProfile &profile, const QSslCertificate &certificate, const QDateTime &now)
{
    CertificateFacts facts;
    facts.panelName = profile.name;
    // Filled in one pass: a host may itself contain "%2" (an IPv6 scope id).
    facts.address = QStringLiteral("%1 : %2").arg(profile.host, QString::number(profile.port));
    const QString unnamed = tr("не указано");
    facts.subject = nameOf(
        certificate.subjectDisplayName(), certificate.subjectInfo(QSslCertificate::Organization));
    facts.issuer = nameOf(
        certificate.issuerDisplayName(), certificate.issuerInfo(QSslCertificate::Organization));
    if (facts.subject.isEmpty())
        facts.subject = unnamed;
    if (facts.issuer.isEmpty())
        facts.issuer = unnamed;
    const QDateTime from = certificate.effectiveDate();
    const QDateTime until = certificate.expiryDate();
    facts.validity = tr("с %1 по %2").arg(date(from), date(until));
    facts.sha256
        = certificate.isNull() ? QByteArray() : certificate.digest(QCryptographicHash::Sha256);
    facts.fingerprint = PanelProfile::groupedFingerprint(PanelProfile::pinFromDigest(facts.sha256));

    facts.expired = until.isValid() && until < now;
    facts.notYetValid = from.isValid() && from > now;
    facts.hostNamed = namesHost(certificate, profile.host);
    if (facts.expired)
        facts.warnings << tr("Срок действия сертификата истёк %1.").arg(date(until));
    if (facts.notYetValid)
        facts.warnings
            << tr("Срок действия сертификата ещё не начался: он действует с %1.").arg(date(from));
    if (!facts.hostNamed)
        facts.warnings << tr("Сертификат выдан не на адрес «%1». У панелей, к которым подключаются "
                             "по IP-адресу, так бывает часто; решает отпечаток.")
                              .arg(profile.host);
    return facts;
}
