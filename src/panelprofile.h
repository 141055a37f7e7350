#pragma once

#include "password.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// One address book entry: how to reach a panel, how to list it and how its
// sessions behave. A plain value, copied freely into sessions and dialogs.
// The password lives in memory only; it is never written to the settings or
// to an exchange file, and every copy of it is wiped when the record goes.
struct PanelProfile
{
    // Whether sessions encrypt: not at all (today's plain session), when the panel
    // offers it, or always (no plain session at all). Stored only when not Off.
    enum class Encryption { Off, Preferred, Required };

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
    Encryption encryption = Encryption::Off;
    // For panels that log in by user name and password; stored only when set. (The
    // braces let records listed field by field leave the newer members out.)
    QString userName {};
    // The panel's certificate as the operator trusted it: the SHA-256 of its DER in
    // hexadecimal, as stored (64 characters when well formed). A malformed value is kept
    // as it is and matches no certificate, so a pinned panel never turns unpinned. Not a
    // secret: the exchange file carries it.
    QString certificateSha256 {};

    // Limits on what enters the book from the editor or an exchange file.
    static constexpr int maxNameLength = 200;
    static constexpr int maxGroupLength = 200;
    static constexpr int maxHostLength = 255;
    static constexpr int maxNotesLength = 10000;
    // VNC authentication uses at most eight bytes of the password, all in Latin-1.
    static constexpr int maxPasswordLength = 8;
    // Inside an encrypted session a log-in by user name takes the whole password.
    static constexpr int maxEncryptedPasswordLength = 128;
    static constexpr int maxUserNameLength = 200;

    // The longest password a record with this encryption may hold, and whether its
    // characters must be Latin-1 (only without encryption, where VNC authentication
    // is all there is).
    static int passwordLimit(Encryption encryption);
    static bool passwordNeedsLatin1(Encryption encryption) { return encryption == Encryption::Off; }

    // The settings and exchange-file spelling of an encryption ("preferred", "required";
    // empty for Off), and its reading. An unknown non-empty spelling reads as Required
    // with *known false: a mistyped "required" must never become a plain session.
    static QString encryptionName(Encryption encryption);
    // Adds the members written only when set (compression, encryption, user name, pin) to a
    // stored or exported record: one without them stays byte for byte as before they existed.
    void insertOptionalMembers(QJsonObject &object) const;
    static Encryption encryptionFromName(const QString &name, bool *known = nullptr);

    // The host as the editor means it: trimmed, an IPv6 literal's brackets removed.
    static QString normalizedHost(const QString &typed);

    // Whether `hex` is 64 hexadecimal digits (either case).
    static bool isWellFormedPin(const QString &hex);
    // The pin text for a certificate's SHA-256 (32 bytes): lower-case hexadecimal.
    static QString pinFromDigest(const QByteArray &sha256);
    // A fingerprint for people: a well-formed pin in capitals, in groups of four
    // ("3FA0 9C1B ..."); any other text as it is.
    static QString groupedFingerprint(const QString &hex);
    // The pin as the protocol client takes it for the next connection: empty when there
    // is none or encryption is off; the 32 digest bytes of a well-formed pin; for a
    // malformed one, a non-empty value of another length, which matches no certificate.
    QByteArray trustedCertificate() const;

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
