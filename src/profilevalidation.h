#pragma once

#include "panelprofile.h"

#include <QString>

// What the user typed into the profile editor, exactly as the widgets hold it
// (nothing trimmed).
struct ProfileFields
{
    QString name;
    QString host;
    QString group;
    QString password;
    QString notes;
    int port = 5900;
    bool remember = false;
    bool viewOnly = false;
    bool reconnect = false;
};

// The outcome of checking the typed fields: the record to keep, or the one
// message that tells the user what to correct.
struct ProfileValidation
{
    PanelProfile profile; // the working copy filled from the fields; meaningful only when ok()
    QString error; // user-visible text; empty when the fields were accepted

    bool ok() const { return error.isEmpty(); }
};

// Checks the fields in the editor's order (host, lengths, password encoding)
// and stops at the first failure. On success the working copy keeps its id and
// takes every field: name and group trimmed, an empty name replaced by the
// host, an IPv6 literal's brackets removed from the host. Touches no store.
ProfileValidation validateProfile(const PanelProfile &workingCopy, const ProfileFields &fields);
