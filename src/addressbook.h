#pragma once

#include "panelprofile.h"

#include <QList>
#include <QString>

// The ordered list of panels, in the order the address book tree shows them.
// Never sorted; only `id` identifies a record (names and hosts may repeat).
using AddressBook = QList<PanelProfile>;

// Reads the list stored under the settings key "profiles" of the default
// settings object. Unreadable data gives an empty list; entries without an id
// or host, or with a port outside 1..65535, are left out. No password is read.
AddressBook loadProfiles();

// Replaces the stored list with this one (passwords are never written). A
// stored value that was not a readable list is first kept under
// "profilesBackup", so a damaged address book can still be recovered.
void saveProfiles(const AddressBook &book);

// Index of the first record whose id equals `id` exactly, or -1.
int profileIndexById(const AddressBook &book, const QString &id);
