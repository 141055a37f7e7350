#include "addressbook.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QSettings>
#include <QUuid>

#include <cmath>

namespace {

const QString kProfilesKey = QStringLiteral("profiles");
const QString kBackupKey = QStringLiteral("profilesBackup");

// A missing port, a non-number or a fraction means the default port. A whole
// number is taken as it is, so one outside the port range drops the entry
// instead of quietly becoming 5900.
bool readPort(const QJsonValue &value, int *port)
{
    *port = 5900;
    if (!value.isDouble())
        return true;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number)
        return true;
    if (number < 1 || number > 65535)
        return false;
    *port = static_cast<int>(number);
    return true;
}

// The id a repeated one is replaced by: a name-based UUID (version 5) of the original id and
// the record's place in the stored list, so that it is the same at every start until the book is
// next saved; unlike the random ids of new records it is derived. Derived again, with a count,
// while it is an id the book already holds.
QString repairedId(const QString &original, int position, const QSet<QString> &taken)
{
    static const QUuid space(QStringLiteral("271f2f3f-1c25-4e52-98ba-8cf436f25160"));
    const QString base = QStringLiteral("%1/%2").arg(original, QString::number(position));
    QString name = base;
    for (int attempt = 1;; ++attempt) {
        const QString id = QUuid::createUuidV5(space, name).toString(QUuid::WithoutBraces);
        if (!taken.contains(id))
            return id;
        name = QStringLiteral("%1/%2").arg(base, QString::number(attempt));
    }
}

// A member that is absent or null is not set. A string is taken as it is; any other value
// is kept as its JSON text (and *isText cleared), so that it is still a value and never
// quietly becomes "not set".
QString readSetting(const QJsonValue &value, bool *isText = nullptr)
{
    if (value.isUndefined() || value.isNull() || value.isString())
        return value.toString();
    if (isText)
        *isText = false;
    const QJsonArray wrapped { value };
    const QByteArray text = QJsonDocument(wrapped).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(text.mid(1, text.size() - 2));
}

} // namespace

AddressBook loadProfiles(QByteArray *damagedValue)
{
    const QByteArray stored = QSettings().value(kProfilesKey).toByteArray();
    bool damaged = false;
    AddressBook book = profilesFromValue(stored, &damaged);
    if (damaged && damagedValue)
        *damagedValue = stored;
    return book;
}

AddressBook profilesFromValue(const QByteArray &stored, bool *damagedResult)
{
    AddressBook book;
    const QJsonDocument document = QJsonDocument::fromJson(stored);
    // Anything stored that does not come back whole is damage: the next save
    // would erase what was left out.
    bool damaged = !stored.isEmpty() && !document.isArray();

    // Every id the stored entries bring: a replacement must not take one of a later record.
    QSet<QString> ids;
    const QJsonArray entries = document.array();
    for (const QJsonValue &entry : entries)
        ids.insert(entry.toObject().value(QLatin1String("id")).toString());
    QSet<QString> seen;
    for (int position = 0; position < entries.size(); ++position) {
        const QJsonObject object = entries.at(position).toObject();
        PanelProfile profile;
        profile.id = object.value(QLatin1String("id")).toString();
        profile.name = object.value(QLatin1String("name")).toString();
        profile.host = object.value(QLatin1String("host")).toString();
        profile.group = object.value(QLatin1String("group")).toString();
        profile.notes = object.value(QLatin1String("notes")).toString();
        const bool portOk = readPort(object.value(QLatin1String("port")), &profile.port);
        profile.viewOnly = object.value(QLatin1String("viewOnly")).toBool(false);
        profile.reconnect = object.value(QLatin1String("reconnect")).toBool(false);
        profile.remember = object.value(QLatin1String("remember")).toBool(false);
        profile.compression = object.value(QLatin1String("compression")).toBool(false);
        // Read fail-safe: whatever cannot be read as written turns encryption on and keeps
        // the pin, and the stored value is kept as a backup before the next save. (The text
        // of a value that is not a string never spells a known encryption.)
        bool encryptionKnown = true;
        profile.encryption = PanelProfile::encryptionFromName(
            readSetting(object.value(QLatin1String("encryption"))), &encryptionKnown);
        profile.userName = object.value(QLatin1String("userName")).toString();
        bool pinIsText = true;
        profile.certificateSha256
            = readSetting(object.value(QLatin1String("certificateSha256")), &pinIsText);
        if (!encryptionKnown || !pinIsText)
            damaged = true;
        if (profile.id.isEmpty() || profile.host.isEmpty() || !portOk) {
            damaged = true;
            continue;
        }
        if (seen.contains(profile.id)) {
            // Only the first record of an id can be found; deleting "the
            // second" would remove the first and its password.
            damaged = true;
            profile.id = repairedId(profile.id, position, ids);
            profile.remember = false;
            ids.insert(profile.id);
        }
        seen.insert(profile.id);
        book.append(profile);
    }

    if (damagedResult)
        *damagedResult = damaged;
    return book;
}

bool keepProfilesBackup(const QByteArray &damaged)
{
    QSettings settings;
    if (settings.value(kBackupKey).toByteArray() == damaged)
        return true;
    settings.setValue(kBackupKey, damaged);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool saveProfiles(const AddressBook &book)
{
    QSettings settings;
    settings.setValue(kProfilesKey, profilesValue(book));
    settings.sync();
    return settings.status() == QSettings::NoError;
}

QByteArray profilesValue(const AddressBook &book)
{
    QJsonArray entries;
    for (const PanelProfile &profile : book) {
        QJsonObject object;
        object.insert(QLatin1String("id"), profile.id);
        object.insert(QLatin1String("name"), profile.name);
        object.insert(QLatin1String("host"), profile.host);
        object.insert(QLatin1String("port"), profile.port);
        object.insert(QLatin1String("group"), profile.group);
        object.insert(QLatin1String("notes"), profile.notes);
        object.insert(QLatin1String("viewOnly"), profile.viewOnly);
        object.insert(QLatin1String("reconnect"), profile.reconnect);
        object.insert(QLatin1String("remember"), profile.remember);
        profile.insertOptionalMembers(object);
        entries.append(object);
    }
    return QJsonDocument(entries).toJson(QJsonDocument::Compact);
}

int profileIndexById(const AddressBook &book, const QString &id)
{
    for (int i = 0; i < book.size(); ++i) {
        if (book.at(i).id == id)
            return i;
    }
    return -1;
}
