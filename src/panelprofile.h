#pragma once

#include "password.h"

#include <QString>

// One address book entry: how to reach a panel, how to list it and how its
// sessions behave. A plain value, copied freely into sessions and dialogs.
// The password lives in memory only; it is never written to the settings or
// to an exchange file, and every copy of it is wiped when the record goes.
struct PanelProfile
{
    QString id; // lower-case UUID without braces; empty only in a record not yet created
    QString name;
    QString host;
    QString group;
    Password password;
    QString notes;
    int port = 5900;
    bool viewOnly = false;
    bool reconnect = false;
    bool remember = false;
    // Ask the panel for compressed encodings (slow links); stored only when set.
    bool compression = false;

    // Limits on what enters the book from the editor or an exchange file.
    static constexpr int maxNameLength = 200;
    static constexpr int maxGroupLength = 200;
    static constexpr int maxHostLength = 255;
    static constexpr int maxNotesLength = 10000;
    // VNC authentication uses at most eight bytes of the password.
    static constexpr int maxPasswordLength = 8;

    // Whether `host` can name a panel: not empty, and without white space, slash
    // or backslash, so that neither a scheme nor a path slips in. The length
    // limit is checked on its own, as its messages differ.
    static bool isUsableHost(const QString &host);

    // A fresh identity for a new record (new panel, duplicate, import).
    static QString newId();
    // A record with the defaults of a new panel and a fresh id.
    static PanelProfile createNew();

    friend bool operator==(const PanelProfile &a, const PanelProfile &b);
    friend bool operator!=(const PanelProfile &a, const PanelProfile &b) { return !(a == b); }
};
