#pragma once

#include "credentialbackend.h"
#include "panelprofile.h"

#include <QString>

// Remembered panel passwords, kept by the system's credential store (the
// Windows Credential Manager, or the Secret Service on Linux) under the target
// "PelorinVNC/" + id with the user name "VNC". Stateless and synchronous; call
// on the GUI thread. Each call returns within a few seconds even when no store
// can be reached.
class CredentialStore
{
public:
    using ReadResult = CredentialBackend::ReadResult;

    // The stored password, or empty text when there is none or it cannot be
    // read; *result, when given, tells these apart.
    static QString readPassword(const QString &id, ReadResult *result = nullptr);
    // Stores profile.password under profile.id, replacing an earlier one.
    // Returns whether the store accepted it.
    static bool writePassword(const PanelProfile &profile);
    // Removes the password of profile.id; a missing one is not an error.
    static void deletePassword(const PanelProfile &profile);

    // "PelorinVNC/" + id: the name a password is kept under.
    static QString targetName(const QString &id);

    CredentialStore() = delete;
};
