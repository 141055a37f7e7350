#pragma once

#include <QByteArray>
#include <QString>

// The system's own secret store, one entry per target name. Secrets travel
// as UTF-8 bytes; callers wipe their copies. credentialbackend_win.cpp holds
// the Windows Credential Manager, credentialbackend_secret.cpp the freedesktop
// Secret Service used everywhere else.
namespace CredentialBackend {

// What a read found: a secret (in *secret), none stored, or no answer from
// the store (unreachable, locked, refused), which says nothing about the secret.
enum class ReadResult { Found, NotStored, Failed };
ReadResult read(const QString &target, QByteArray *secret);
// Creates or replaces the secret of `target` for `user`; true on success.
bool write(const QString &target, const QString &user, const QByteArray &secret);
// Removes the secret of `target`; true when the store answered.
bool remove(const QString &target);

} // namespace CredentialBackend
