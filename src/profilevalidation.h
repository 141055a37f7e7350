#pragma once

#include "panelprofile.h"

#include <QString>

// The outcome of checking the typed fields: the record to keep, or the one
// message that tells the user what to correct.
struct ProfileValidation
{
    PanelProfile profile; // the record to keep; meaningful only when ok()
    QString error; // user-visible text; empty when the fields were accepted

    bool ok() const { return error.isEmpty(); }
};

// Checks a record holding the editor's fields exactly as typed (nothing
// trimmed), in the editor's order (host, lengths, password, user name), and
// stops at the first failure. The password's rules follow the record's
// encryption: without it eight Latin-1 characters, with it up to 128 of any
// script. On success the record is kept with name and group
// trimmed, an empty name replaced by the host, an IPv6 literal's brackets
// removed from the host. Touches no store.
ProfileValidation validateProfile(const PanelProfile &typed);
