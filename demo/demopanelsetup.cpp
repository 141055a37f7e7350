#include "demopanelsetup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSslSocket>

#include <algorithm>

QList<DemoPanelSetup> demoPanelSetups()
{
    const auto tr
        = [](const char *text) { return QCoreApplication::translate("DemoPanelSetup", text); };
    return {
        { QStringLiteral("8f0c6a52-1d4e-4c1b-9a51-2f5e0b7d0001"), tr("Пресс-линия №1"),
            QSize(800, 480), QSize(1024, 600), QString(), 8, false,
            tr("Демонстрационная панель: 800 × 480, без пароля, RFB 3.8.") },
        { QStringLiteral("8f0c6a52-1d4e-4c1b-9a51-2f5e0b7d0002"), tr("Экструдер ЭК-2"),
            QSize(1024, 600), QSize(800, 480), QStringLiteral("demo"), 8, true,
            tr("Демонстрационная панель: 1024 × 600, пароль «demo».") },
        { QStringLiteral("8f0c6a52-1d4e-4c1b-9a51-2f5e0b7d0003"), tr("Печь закалки П-3"),
            QSize(1280, 800), QSize(1024, 600), QString(), 8, true,
            tr("Демонстрационная панель: 1280 × 800, без пароля.") },
        { QStringLiteral("8f0c6a52-1d4e-4c1b-9a51-2f5e0b7d0004"), tr("Насосная станция Н-4"),
            QSize(640, 480), QSize(800, 600), QString(), 3, false,
            tr("Демонстрационная панель: 640 × 480, только RFB 3.3.") },
    };
}

QString demoPanelLine(const DemoPanelSetup &setup, quint16 port, bool tls)
{
    QString security = setup.password.isEmpty()
        ? QCoreApplication::translate("DemoPanelSetup", "без пароля")
        : QCoreApplication::translate("DemoPanelSetup", "пароль «%1»").arg(setup.password);
    if (tls)
        security = QCoreApplication::translate("DemoPanelSetup", "%1, TLS").arg(security);
    return QCoreApplication::translate("DemoPanelSetup", "%1 — %2 × %3, %4, RFB 3.%5 — 127.0.0.1 %6")
        .arg(setup.name, QString::number(setup.size.width()), QString::number(setup.size.height()),
            security, QString::number(setup.maxMinor), QString::number(port));
}

RfbServerTls demoTls()
{
    const auto read = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    RfbServerTls tls;
    tls.anonymous = true;
    if (!QSslSocket::supportsSsl())
        return tls;
    tls.certificate = QSslCertificate(read(QStringLiteral(":/demo/pelorin-demo.crt")), QSsl::Pem);
    tls.key = QSslKey(read(QStringLiteral(":/demo/pelorin-demo.key")), QSsl::Ec, QSsl::Pem);
    return tls;
}

SeedResult seedDemoSettings(
    const QString &settingsFolder, const QList<DemoPanelSetup> &setups, const QList<quint16> &ports)
{
    // The file the program's default settings object uses under XDG_CONFIG_HOME on Linux.
    QSettings settings(QDir(settingsFolder).filePath(QStringLiteral("Pelorin/PelorinVNC.conf")),
        QSettings::IniFormat);
    // The program keeps keys it does not know, so the marker outlives its saves. A book of
    // only demo panels is the demo's own too (seeded before the marker existed).
    const QString marker = QStringLiteral("demoSeeded");
    const QByteArray stored = settings.value(QStringLiteral("profiles")).toByteArray();
    bool ours = stored.isEmpty() || settings.value(marker).toBool();
    if (!ours) {
        const QJsonArray existing = QJsonDocument::fromJson(stored).array();
        ours = !existing.isEmpty()
            && std::all_of(existing.begin(), existing.end(), [&](const QJsonValue &entry) {
                   const QString id = entry.toObject().value(QStringLiteral("id")).toString();
                   return std::any_of(setups.begin(), setups.end(),
                       [&id](const DemoPanelSetup &setup) { return setup.id == id; });
               });
    }
    if (!ours)
        return SeedResult::Refused;
    QJsonArray profiles;
    QJsonArray sessions;
    QJsonArray cells;
    for (qsizetype i = 0; i < setups.size() && i < ports.size(); ++i) {
        const DemoPanelSetup &setup = setups.at(i);
        profiles.append(QJsonObject {
            { QStringLiteral("id"), setup.id },
            { QStringLiteral("name"), setup.name },
            { QStringLiteral("host"), QStringLiteral("127.0.0.1") },
            { QStringLiteral("port"), int(ports.at(i)) },
            { QStringLiteral("group"), QStringLiteral("Демо") },
            { QStringLiteral("notes"), setup.notes },
            { QStringLiteral("viewOnly"), false },
            { QStringLiteral("reconnect"), true }, // so the drop button shows the reconnection
            { QStringLiteral("remember"), false },
        });
        sessions.append(QJsonObject {
            { QStringLiteral("id"), setup.id },
            { QStringLiteral("zoom"), 0 },
            { QStringLiteral("viewOnly"), false },
        });
        if (cells.size() < 4)
            cells.append(setup.id);
    }
    while (cells.size() < 4)
        cells.append(QString());
    const QJsonObject workspace {
        { QStringLiteral("mode"), 4 },
        { QStringLiteral("sessions"), sessions },
        { QStringLiteral("cellIds"), cells },
        { QStringLiteral("active"), setups.isEmpty() ? QString() : setups.first().id },
        { QStringLiteral("sidebar"), true },
    };
    settings.setValue(
        QStringLiteral("profiles"), QJsonDocument(profiles).toJson(QJsonDocument::Compact));
    settings.setValue(
        QStringLiteral("workspaceV2"), QJsonDocument(workspace).toJson(QJsonDocument::Compact));
    settings.setValue(marker, true);
    settings.sync();
    return settings.status() == QSettings::NoError ? SeedResult::Written : SeedResult::Failed;
}
