#include "panelprofile.h"

#include <QRegularExpression>
#include <QUuid>

QString PanelProfile::newId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

PanelProfile PanelProfile::createNew()
{
    PanelProfile profile;
    profile.id = newId();
    return profile;
}

bool PanelProfile::isUsableHost(const QString &host)
{
    static const QRegularExpression badCharacter(QStringLiteral("[\\s/\\\\]"));
    return !host.isEmpty() && !host.contains(badCharacter);
}

bool operator==(const PanelProfile &a, const PanelProfile &b)
{
    return a.id == b.id && a.name == b.name && a.host == b.host && a.group == b.group
        && a.password == b.password && a.notes == b.notes && a.port == b.port
        && a.viewOnly == b.viewOnly && a.reconnect == b.reconnect && a.remember == b.remember
        && a.compression == b.compression && a.encryption == b.encryption
        && a.userName == b.userName && a.certificateSha256 == b.certificateSha256;
}

int PanelProfile::passwordLimit(Encryption encryption)
{
    return encryption == Encryption::Off ? maxPasswordLength : maxEncryptedPasswordLength;
}

QString PanelProfile::encryptionName(Encryption encryption)
{
    switch (encryption) {
    case Encryption::Off:
        break;
    case Encryption::Preferred:
        return QStringLiteral("preferred");
    case Encryption::Required:
        return QStringLiteral("required");
    }
    return QString();
}

PanelProfile::Encryption PanelProfile::encryptionFromName(const QString &name, bool *known)
{
    Encryption encryption = Encryption::Required;
    bool recognised = true;
    if (name.isEmpty())
        encryption = Encryption::Off;
    else if (name == encryptionName(Encryption::Preferred))
        encryption = Encryption::Preferred;
    else if (name != encryptionName(Encryption::Required))
        recognised = false;
    if (known)
        *known = recognised;
    return encryption;
}

QString PanelProfile::normalizedHost(const QString &typed)
{
    QString host = typed.trimmed();
    // The usual way to write an IPv6 literal next to a port; the port has its
    // own field here.
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    return host;
}

bool PanelProfile::isWellFormedPin(const QString &hex)
{
    static const QRegularExpression digits(QStringLiteral("\\A[0-9A-Fa-f]{64}\\z"));
    return digits.match(hex).hasMatch();
}

QString PanelProfile::pinFromDigest(const QByteArray &sha256)
{
    return QString::fromLatin1(sha256.toHex());
}

QString PanelProfile::groupedFingerprint(const QString &hex)
{
    if (!isWellFormedPin(hex))
        return hex;
    QString grouped;
    for (qsizetype i = 0; i < hex.size(); i += 4) {
        if (i > 0)
            grouped += QLatin1Char(' ');
        grouped += hex.mid(i, 4).toUpper();
    }
    return grouped;
}

QByteArray PanelProfile::trustedCertificate() const
{
    if (encryption == Encryption::Off || certificateSha256.isEmpty())
        return QByteArray();
    if (isWellFormedPin(certificateSha256))
        return QByteArray::fromHex(certificateSha256.toLatin1());
    // Any length but a digest's: the client then refuses every certificate.
    QByteArray malformed = certificateSha256.toUtf8();
    if (malformed.size() == 32)
        malformed.append('\0');
    return malformed;
}

void PanelProfile::insertOptionalMembers(QJsonObject &object) const
{
    if (compression)
        object.insert(QLatin1String("compression"), true);
    if (encryption != Encryption::Off)
        object.insert(QLatin1String("encryption"), encryptionName(encryption));
    if (!userName.isEmpty())
        object.insert(QLatin1String("userName"), userName);
    if (!certificateSha256.isEmpty())
        object.insert(QLatin1String("certificateSha256"), certificateSha256);
}
