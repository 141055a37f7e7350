#include "exchangefile.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cmath>

namespace {

const QString kFormatName = QStringLiteral("pelorin-addressbook");
constexpr int kVersion = 2;

ExchangeFileResult failure(const QString &message)
{
    ExchangeFileResult result;
    result.error = message;
    return result;
}

bool isWholeNumber(double value)
{
    return std::isfinite(value) && std::floor(value) == value;
}

} // namespace

QByteArray buildExchangeFile(const AddressBook &book)
{
    QJsonArray panels;
    for (const PanelProfile &profile : book) {
        QJsonObject panel;
        // A panel without a name of its own shows its host, which may be longer than a name
        // may be: written out, that name would make the import refuse the whole file. Empty,
        // it becomes the host again on import.
        const bool hostAsName
            = profile.name == profile.host && profile.name.size() > PanelProfile::maxNameLength;
        panel.insert(QLatin1String("name"), hostAsName ? QString() : profile.name);
        panel.insert(QLatin1String("host"), profile.host);
        panel.insert(QLatin1String("port"), profile.port);
        panel.insert(QLatin1String("group"), profile.group);
        panel.insert(QLatin1String("notes"), profile.notes);
        panel.insert(QLatin1String("viewOnly"), profile.viewOnly);
        panel.insert(QLatin1String("reconnect"), profile.reconnect);
        // Readers of version 2 ignore members they do not know. Pins travel with the panels,
        // so that a site can hand out a book whose panels are already trusted; they are not
        // secret.
        profile.insertOptionalMembers(panel);
        panels.append(panel);
    }
    QJsonObject top;
    top.insert(QLatin1String("format"), kFormatName);
    top.insert(QLatin1String("version"), kVersion);
    top.insert(QLatin1String("panels"), panels);
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

ExchangeFileResult parseExchangeFile(const QByteArray &bytes)
{
    if (bytes.size() > kExchangeFileMaxBytes)
        return failure(QCoreApplication::translate("ExchangeFile",
                                                   "Файл слишком большой (максимум 2 МБ)."));

    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    const QJsonObject top = document.object();
    const QJsonValue format = top.value(QLatin1String("format"));
    const QJsonValue version = top.value(QLatin1String("version"));
    const QJsonValue panelsValue = top.value(QLatin1String("panels"));
    // A document that is not an object gives an empty object here, which
    // fails the format check.
    if (!document.isObject() || !format.isString() || format.toString() != kFormatName
        || !version.isDouble() || version.toDouble() != kVersion || !panelsValue.isArray()) {
        return failure(QCoreApplication::translate("ExchangeFile",
                                                   "Ожидается адресная книга Пелорин версии 2."));
    }

    const QJsonArray panels = panelsValue.toArray();
    if (panels.size() > kExchangeFileMaxPanels)
        return failure(QCoreApplication::translate("ExchangeFile",
                                                   "В одном файле допускается до 1000 панелей."));

    AddressBook records;
    records.reserve(panels.size());
    for (qsizetype row = 0; row < panels.size(); ++row) {
        const QJsonObject panel = panels.at(row).toObject();
        PanelProfile profile = PanelProfile::createNew();
        profile.host = panel.value(QLatin1String("host")).toString().trimmed();
        profile.name = panel.value(QLatin1String("name")).toString().trimmed();
        profile.group = panel.value(QLatin1String("group")).toString();
        profile.notes = panel.value(QLatin1String("notes")).toString();

        const QJsonValue portValue = panel.value(QLatin1String("port"));
        const double port = portValue.isDouble() ? portValue.toDouble() : -1;
        if (port < 1 || port > 65535)
            return failure(
                    QCoreApplication::translate("ExchangeFile", "Порт должен быть от 1 до 65535."));
        profile.port = static_cast<int>(port);

        // A row that asks for encryption in a way we cannot read is refused rather than
        // imported as a plain panel; a pin that is not text likewise.
        const QJsonValue encryption = panel.value(QLatin1String("encryption"));
        bool encryptionKnown = encryption.isUndefined() || encryption.isNull();
        if (encryption.isString())
            profile.encryption
                = PanelProfile::encryptionFromName(encryption.toString(), &encryptionKnown);
        const QJsonValue pin = panel.value(QLatin1String("certificateSha256"));
        const bool pinReadable = pin.isUndefined() || pin.isNull() || pin.isString();
        profile.certificateSha256 = pin.toString();
        profile.userName = panel.value(QLatin1String("userName")).toString();

        if (!PanelProfile::isUsableHost(profile.host)
            || profile.host.size() > PanelProfile::maxHostLength || !isWholeNumber(port)
            || profile.name.size() > PanelProfile::maxNameLength
            || profile.group.size() > PanelProfile::maxGroupLength
            || profile.notes.size() > PanelProfile::maxNotesLength || !encryptionKnown
            || profile.userName.size() > PanelProfile::maxUserNameLength || !pinReadable) {
            return failure(QCoreApplication::translate(
                                   "ExchangeFile",
                                   "Некорректный адрес, порт или слишком длинные поля в строке ")
                           + QString::number(row + 1) + QLatin1Char('.'));
        }

        if (profile.name.isEmpty())
            profile.name = profile.host;
        profile.viewOnly = panel.value(QLatin1String("viewOnly")).toBool(false);
        profile.reconnect = panel.value(QLatin1String("reconnect")).toBool(false);
        profile.compression = panel.value(QLatin1String("compression")).toBool(false);
        records.append(profile);
    }

    ExchangeFileResult result;
    result.ok = true;
    result.panels = records;
    return result;
}
