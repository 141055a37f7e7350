#include "addressbook.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSettings>

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

} // namespace

AddressBook loadProfiles()
{
    AddressBook book;
    const QSettings settings;
    const QJsonDocument document
            = QJsonDocument::fromJson(settings.value(kProfilesKey).toByteArray());
    if (!document.isArray())
        return book;

    const QJsonArray entries = document.array();
    for (const QJsonValue &entry : entries) {
        const QJsonObject object = entry.toObject();
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
        if (profile.id.isEmpty() || profile.host.isEmpty() || !portOk)
            continue;
        book.append(profile);
    }
    return book;
}

void saveProfiles(const AddressBook &book)
{
    QSettings settings;

    // Loading turned an unreadable value into an empty book; overwriting it
    // now would lose the user's panels for good, so keep the bytes aside.
    const QByteArray previous = settings.value(kProfilesKey).toByteArray();
    if (!previous.isEmpty() && !QJsonDocument::fromJson(previous).isArray()
        && settings.value(kBackupKey).toByteArray() != previous) {
        settings.setValue(kBackupKey, previous);
    }

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
        entries.append(object);
    }
    settings.setValue(kProfilesKey, QJsonDocument(entries).toJson(QJsonDocument::Compact));
}

int profileIndexById(const AddressBook &book, const QString &id)
{
    for (int i = 0; i < book.size(); ++i) {
        if (book.at(i).id == id)
            return i;
    }
    return -1;
}
