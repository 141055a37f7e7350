#include "demospecs.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

QList<DemoPanelSpec> demoPanelSpecs()
{
    const auto tr
        = [](const char *text) { return QCoreApplication::translate("DemoPanelSpec", text); };
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

QString demoPanelLine(const DemoPanelSpec &spec, quint16 port)
{
    const QString security = spec.password.isEmpty()
        ? QCoreApplication::translate("DemoPanelSpec", "без пароля")
        : QCoreApplication::translate("DemoPanelSpec", "пароль «%1»").arg(spec.password);
    return QCoreApplication::translate("DemoPanelSpec", "%1 — %2 × %3, %4, RFB 3.%5 — 127.0.0.1 %6")
        .arg(spec.name, QString::number(spec.size.width()), QString::number(spec.size.height()),
            security, QString::number(spec.maxMinor), QString::number(port));
}

bool seedDemoSettings(
    const QString &settingsFolder, const QList<DemoPanelSpec> &specs, const QList<quint16> &ports)
{
    // The file the program's default settings object uses under XDG_CONFIG_HOME on Linux.
    QSettings settings(QDir(settingsFolder).filePath(QStringLiteral("Pelorin/PelorinVNC.conf")),
        QSettings::IniFormat);
    QJsonArray profiles;
    QJsonArray sessions;
    QJsonArray cells;
    for (qsizetype i = 0; i < specs.size() && i < ports.size(); ++i) {
        const DemoPanelSpec &spec = specs.at(i);
        profiles.append(QJsonObject {
            { QStringLiteral("id"), spec.id },
            { QStringLiteral("name"), spec.name },
            { QStringLiteral("host"), QStringLiteral("127.0.0.1") },
            { QStringLiteral("port"), int(ports.at(i)) },
            { QStringLiteral("group"), QStringLiteral("Демо") },
            { QStringLiteral("notes"), spec.notes },
            { QStringLiteral("viewOnly"), false },
            { QStringLiteral("reconnect"), true }, // so the drop button shows the reconnection
            { QStringLiteral("remember"), false },
        });
        sessions.append(QJsonObject {
            { QStringLiteral("id"), spec.id },
            { QStringLiteral("zoom"), 0 },
            { QStringLiteral("viewOnly"), false },
        });
        if (cells.size() < 4)
            cells.append(spec.id);
    }
    while (cells.size() < 4)
        cells.append(QString());
    const QJsonObject workspace {
        { QStringLiteral("mode"), 4 },
        { QStringLiteral("sessions"), sessions },
        { QStringLiteral("cellIds"), cells },
        { QStringLiteral("active"), specs.isEmpty() ? QString() : specs.first().id },
        { QStringLiteral("sidebar"), true },
    };
    settings.setValue(
        QStringLiteral("profiles"), QJsonDocument(profiles).toJson(QJsonDocument::Compact));
    settings.setValue(
        QStringLiteral("workspaceV2"), QJsonDocument(workspace).toJson(QJsonDocument::Compact));
    settings.sync();
    return settings.status() == QSettings::NoError;
}
