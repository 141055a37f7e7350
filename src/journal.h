#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariant>

#include <functional>

class QSettings;
class QTimer;
struct PanelProfile;

// The connection journal: timestamped one-line entries, oldest first, at most
// maxLines after every append (a longer list loaded from the settings stays as
// it is until the next append). Owned by the main window; views follow it
// through lineAppended.
class Journal : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxLines = 1000;
    // Longest message kept from a session, after masking.
    static constexpr int maxMessageLength = 1024;

    explicit Journal(QObject *parent = nullptr);

    const QStringList &lines() const { return entries; }
    // Replaces the lines as they are (loading); emits nothing.
    void setLines(const QStringList &lines);

    // Stamps text with the local time ("dd.MM.yyyy HH:mm:ss", two spaces),
    // stores it and drops the oldest lines beyond maxLines.
    void append(const QString &text);

    // The entry of a session message: "name · host:port · message", the message
    // cleaned by cleanMessage with the profile's password; name and host get
    // the same line-break cleaning.
    static QString sessionEntry(const PanelProfile &profile, const QString &message);
    // Every occurrence of password (when not empty) becomes "[скрыто]", then
    // control characters, the Unicode line and paragraph separators and the
    // bidirectional controls become spaces, then the text is cut to maxMessageLength. Masking comes
    // first so that a password straddling the cut is never kept in part.
    static QString cleanMessage(const QString &message, QStringView password);

    // Messages of encrypted sessions and of the security a panel offered.
    // One line per encrypted connection: the client's description (protocol, cipher,
    // fingerprint), whether the panel's identity was checked, and the expiry date of a
    // certificate that had expired when the pin let it in (`expiredOn` invalid: in date).
    static QString encryptedConnectionMessage(
        const QString &description, bool authenticated, const QDateTime &expiredOn);
    // One line per trust decision of the operator on a certificate (its SHA-256, 32 bytes).
    static QString trustDecisionMessage(bool trusted, const QByteArray &sha256);
    // Both fingerprints when a pinned panel presented another certificate: the pin as stored,
    // the presented one as its 32 digest bytes.
    static QString changedCertificateMessage(const QString &pin, const QByteArray &presented);
    // What to do about a panel whose security types could not be used: it offers VeNCrypt
    // (19) while the record's encryption is off, or RSA-AES (5, 6, 129, 130) and nothing we
    // speak. Empty when neither applies, or when the offer held a type we use.
    static QString securityOfferHint(bool encryptionOff, const QList<quint32> &offered);

    // The diagnostics file: the product header line, a line feed, then the lines
    // joined with line feeds (none after the last), UTF-8 without a BOM.
    QByteArray exportBytes() const;
    // Writes exportBytes() atomically: on failure an existing file stays as it was.
    bool exportTo(const QString &path) const;

    // The settings value under key: a list of strings. Missing or unreadable
    // data gives an empty journal.
    void restoreFromSettings(QSettings &settings, const QString &key);
    // The same from the value itself.
    void restoreFromValue(const QVariant &value);
    // Writes settingsValue() and returns whether the settings store took it.
    bool saveSettings(QSettings &settings, const QString &key) const;
    // What saveSettings() writes: the lines as a list of strings.
    QVariant settingsValue() const;

    // From now on every append reaches `key` of the default settings within
    // autoSaveDelayMs, so a crash loses at most that much; the appends of a
    // burst share one write.
    static constexpr int autoSaveDelayMs = 1000;
    void setAutoSaveKey(const QString &key);

    // Test seam: replaces the clock that stamps new lines.
    void setClock(std::function<QDateTime()> now);

signals:
    // A line was appended (and older lines may have been dropped).
    void lineAppended(const QString &line);

private:
    void autoSave();

    QStringList entries;
    QString autoSaveKey;
    QTimer *autoSaveTimer = nullptr;
    std::function<QDateTime()> clock;
};
