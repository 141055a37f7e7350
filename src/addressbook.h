#pragma once

#include "panelprofile.h"

#include <QList>
#include <QString>

// The ordered list of panels, in the order the address book tree shows them.
// Never sorted; only `id` identifies a record (names and hosts may repeat).
using AddressBook = QList<PanelProfile>;

// What loading found wrong with the stored value.
enum class ProfilesDamage {
    None,
    // Entries were dropped or ids repeated; the stored value was copied to
    // "profilesBackup" first.
    BackupKept,
    // As above, but the copy could not be written.
    BackupFailed,
};

// Reads the list stored under the settings key "profiles" of the default
// settings object. Unreadable data gives an empty list; entries without an id
// or host, or with a port outside 1..65535, are left out; a record whose id an
// earlier one already has gets a fresh id and "remember" off, so it can be
// reached on its own and shares no password. Whenever something was left out
// or given a new id, the stored value is first kept under "profilesBackup"
// (before any save can replace it) and *damage says so. No password is read.
AddressBook loadProfiles(ProfilesDamage *damage = nullptr);

// Replaces the stored list with this one (passwords are never written) and
// returns whether the settings store took it.
bool saveProfiles(const AddressBook &book);

// Index of the first record whose id equals `id` exactly, or -1.
int profileIndexById(const AddressBook &book, const QString &id);
