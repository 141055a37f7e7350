#include "journal.h"

#include "atomicfile.h"
#include "panelprofile.h"

#include <QSettings>
#include <QTimer>

namespace {

// The bidirectional marks (the Arabic letter mark too), embeddings, overrides
// and isolates: a panel named with U+202E would make an exported line read
// backwards from there on.
bool isBidiControl(QChar c)
{
    const char16_t u = c.unicode();
    return u == 0x061C || u == 0x200E || u == 0x200F || (u >= 0x202A && u <= 0x202E)
        || (u >= 0x2066 && u <= 0x2069);
}

// One entry is one line that reads as it is stored. Control characters (C0,
// DEL, C1 with NEL) and the Unicode line and paragraph separators would break
// it, or let a panel's name or a server's words forge a line of their own.
QString oneLine(const QString &text)
{
    QString line = text;
    for (QChar &c : line) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator
            || c == QChar::ParagraphSeparator || isBidiControl(c))
            c = QLatin1Char(' ');
    }
    return line;
}

constexpr quint32 noneType = 1;
constexpr quint32 vncAuthType = 2;
constexpr quint32 veNCryptType = 19;
// RSA-AES and its variants (RA2, RA2ne, RA2_256, RA2ne_256).
constexpr quint32 rsaAesTypes[] = { 5, 6, 129, 130 };

} // namespace

Journal::Journal(QObject *parent)
    : QObject(parent)
    , clock([] { return QDateTime::currentDateTime(); })
{
}

void Journal::setLines(const QStringList &lines)
{
    entries = lines;
}

void Journal::append(const QString &text)
{
    const QString line
        = clock().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")) + QLatin1String("  ") + text;
    entries.append(line);
    if (entries.size() > maxLines)
        entries.erase(entries.begin(), entries.end() - maxLines);
    // Not restarted by later appends: a steady stream still gets written.
    if (autoSaveTimer && !autoSaveTimer->isActive())
        autoSaveTimer->start();
    emit lineAppended(line);
}

QString Journal::encryptedConnectionMessage(
    const QString &description, bool authenticated, const QDateTime &expiredOn)
{
    QString message = authenticated
        ? tr("Шифрованное соединение: %1, подлинность панели подтверждена").arg(description)
        : tr("Шифрованное соединение: %1, без проверки подлинности").arg(description);
    if (expiredOn.isValid())
        message += tr("; срок действия сертификата истёк %1")
                       .arg(expiredOn.toLocalTime().toString(QStringLiteral("dd.MM.yyyy")));
    return message;
}

QString Journal::trustDecisionMessage(bool trusted, const QByteArray &sha256)
{
    const QString fingerprint
        = PanelProfile::groupedFingerprint(PanelProfile::pinFromDigest(sha256));
    return trusted ? tr("Сертификат панели принят оператором: SHA-256 %1").arg(fingerprint)
                   : tr("Сертификат панели не принят оператором: SHA-256 %1").arg(fingerprint);
}

QString Journal::changedCertificateMessage(const QString &pin, const QByteArray &presented)
{
    return tr("Закреплённый сертификат: SHA-256 %1; панель предъявила: SHA-256 %2. Закрепление "
              "снимает только «Забыть сертификат» в карточке панели.")
        .arg(PanelProfile::groupedFingerprint(pin),
            PanelProfile::groupedFingerprint(PanelProfile::pinFromDigest(presented)));
}

QString Journal::securityOfferHint(bool encryptionOff, const QList<quint32> &offered)
{
    if (offered.contains(noneType) || offered.contains(vncAuthType))
        return QString();
    if (offered.contains(veNCryptType))
        return encryptionOff ? tr("Панель просит шифрованное соединение: его включает "
                                  "«Шифрование» в карточке панели.")
                             : QString();
    for (const quint32 type : rsaAesTypes)
        if (offered.contains(type))
            return tr("Панель предлагает шифрование RSA-AES, которое Пелорин пока не "
                      "поддерживает.");
    return QString();
}

QString Journal::sessionEntry(const PanelProfile &profile, const QString &message)
{
    return QStringLiteral("%1 · %2:%3 · %4")
        .arg(oneLine(profile.name), oneLine(profile.host), QString::number(profile.port),
            cleanMessage(message, profile.password.view()));
}

QString Journal::cleanMessage(const QString &message, QStringView password)
{
    static const QString mask = QStringLiteral("[скрыто]");
    QString text = message;
    if (!password.isEmpty())
        text.replace(
            password.data(), password.size(), mask.constData(), mask.size(), Qt::CaseSensitive);
    text = oneLine(text);
    if (text.size() > maxMessageLength) {
        // Never keep half of a surrogate pair at the cut.
        const bool splitsPair = text.at(maxMessageLength - 1).isHighSurrogate();
        text.truncate(splitsPair ? maxMessageLength - 1 : maxMessageLength);
    }
    return text;
}

QByteArray Journal::exportBytes() const
{
    return QStringLiteral("Пелорин — удалённый доступ 2.0\n").toUtf8()
        + entries.join(QLatin1Char('\n')).toUtf8();
}

bool Journal::exportTo(const QString &path) const
{
    return writeFileAtomically(path, exportBytes());
}

void Journal::restoreFromSettings(QSettings &settings, const QString &key)
{
    restoreFromValue(settings.value(key));
}

void Journal::restoreFromValue(const QVariant &value)
{
    entries = value.canConvert<QStringList>() ? value.toStringList() : QStringList();
    // A stored line may hold half of a surrogate pair (an INI file's escapes can give one); a
    // save writes it as U+FFFD, so it is read that way now, and the next start shows the same.
    for (QString &line : entries) {
        if (line.isValidUtf16())
            continue;
        for (qsizetype i = 0; i < line.size(); ++i) {
            if (line.at(i).isHighSurrogate() && i + 1 < line.size()
                && line.at(i + 1).isLowSurrogate())
                ++i;
            else if (line.at(i).isSurrogate())
                line[i] = QChar::ReplacementCharacter;
        }
    }
}

bool Journal::saveSettings(QSettings &settings, const QString &key) const
{
    settings.setValue(key, settingsValue());
    settings.sync();
    return settings.status() == QSettings::NoError;
}

QVariant Journal::settingsValue() const
{
    return entries;
}

void Journal::setAutoSaveKey(const QString &key)
{
    autoSaveKey = key;
    if (!autoSaveTimer) {
        autoSaveTimer = new QTimer(this);
        autoSaveTimer->setSingleShot(true);
        autoSaveTimer->setInterval(autoSaveDelayMs);
        connect(autoSaveTimer, &QTimer::timeout, this, &Journal::autoSave);
    }
}

void Journal::autoSave()
{
    // A failure here is met again by the save at close, which reports it.
    QSettings settings;
    saveSettings(settings, autoSaveKey);
}

void Journal::setClock(std::function<QDateTime()> now)
{
    clock = std::move(now);
}
