#include "credentialstore.h"

#include "credentialbackend.h"

namespace {

// Overwrites the bytes in place; volatile keeps the compiler from dropping
// stores to a buffer that is released right after.
void wipe(QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    volatile char *data = bytes.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        data[i] = 0;
}

} // namespace

QString CredentialStore::targetName(const QString &id)
{
    return QStringLiteral("PelorinVNC/") + id;
}

QString CredentialStore::readPassword(const QString &id, ReadResult *result)
{
    QByteArray secret;
    QString password;
    const ReadResult found = CredentialBackend::read(targetName(id), &secret);
    if (found == ReadResult::Found)
        password = QString::fromUtf8(secret);
    wipe(secret);
    if (result)
        *result = found;
    return password;
}

bool CredentialStore::writePassword(const PanelProfile &profile)
{
    QByteArray secret = profile.password.view().toUtf8();
    const bool ok = CredentialBackend::write(targetName(profile.id), QStringLiteral("VNC"), secret);
    wipe(secret);
    return ok;
}

void CredentialStore::deletePassword(const PanelProfile &profile)
{
    CredentialBackend::remove(targetName(profile.id));
}
