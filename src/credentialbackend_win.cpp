// Windows Credential Manager: one generic credential per target, kept for
// this user on this computer only.
#include "credentialbackend.h"

#include <windows.h>
// after windows.h, whose types it uses
#include <wincred.h>

#include <string>

namespace CredentialBackend {

ReadResult read(const QString &target, QByteArray *secret)
{
    const std::wstring name = target.toStdWString();
    PCREDENTIALW credential = nullptr;
    if (!CredReadW(name.c_str(), CRED_TYPE_GENERIC, 0, &credential))
        return GetLastError() == ERROR_NOT_FOUND ? ReadResult::NotStored : ReadResult::Failed;
    const DWORD size = credential->CredentialBlobSize;
    if (size > 0 && credential->CredentialBlob) {
        secret->append(reinterpret_cast<const char *>(credential->CredentialBlob),
                       static_cast<qsizetype>(size));
        // The buffer belongs to the system but holds the password in clear.
        SecureZeroMemory(credential->CredentialBlob, size);
    }
    CredFree(credential);
    return ReadResult::Found;
}

bool write(const QString &target, const QString &user, const QByteArray &secret)
{
    std::wstring name = target.toStdWString();
    std::wstring userName = user.toStdWString();

    CREDENTIALW credential{}; // flags, comment, time, attributes and alias stay zero
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = name.data();
    credential.UserName = userName.data();
    credential.CredentialBlobSize = static_cast<DWORD>(secret.size());
    credential.CredentialBlob = secret.isEmpty()
            ? nullptr
            : reinterpret_cast<LPBYTE>(const_cast<char *>(secret.constData()));
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    return CredWriteW(&credential, 0) != FALSE;
}

bool remove(const QString &target)
{
    const std::wstring name = target.toStdWString();
    return CredDeleteW(name.c_str(), CRED_TYPE_GENERIC, 0) != FALSE;
}

} // namespace CredentialBackend
