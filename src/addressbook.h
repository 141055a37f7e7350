#pragma once

#include "panelprofile.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The ordered list of panels, in the order the address book tree shows them.
// Never sorted; only `id` identifies a record (names and hosts may repeat).
using AddressBook = QList<PanelProfile>;

// Reads the list stored under the settings key "profiles" of the default
// settings object, and writes nothing. Unreadable data gives an empty list;
// entries without an id or host, or with a port outside 1..65535, are left
// out; a record whose id an earlier one already has gets "remember" off and
// an id derived from its old one and its place (the same at every start, no
// other record's), so it can be reached on its own and shares no password.
// Encryption reads fail-safe: an unknown "encryption" reads as required, and a
// "certificateSha256" that is not text is kept as its JSON text (a pin that
// matches nothing); either counts as something left out.
// Whenever something was left out or given a new id, *damagedValue receives
// the stored value as it was (else it is left null), for keepProfilesBackup.
// No password is read.
AddressBook loadProfiles(QByteArray *damagedValue = nullptr);
// The same from the stored value itself: *damaged (when given) tells whether
// something was left out or given a new id.
AddressBook profilesFromValue(const QByteArray &stored, bool *damaged = nullptr);

// Keeps a stored value that loading could not take whole under
// "profilesBackup", before a save of the book replaces it; returns whether the
// settings store took it (a backup of the same bytes is left as it is).
bool keepProfilesBackup(const QByteArray &damaged);

// Replaces the stored list with this one (passwords are never written) and
// returns whether the settings store took it.
bool saveProfiles(const AddressBook &book);
// The value saveProfiles() stores: compact JSON, one object per record.
QByteArray profilesValue(const AddressBook &book);

// Index of the first record whose id equals `id` exactly, or -1.
int profileIndexById(const AddressBook &book, const QString &id);
