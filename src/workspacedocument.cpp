#include "workspacedocument.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

#include <algorithm>
#include <cmath>

namespace {

int readMode(const QJsonValue &value)
{
    const int mode = value.toInt(1); // a number with a fraction reads as the default
    return (mode == 1 || mode == 2 || mode == 4) ? mode : 1;
}

int readZoom(const QJsonValue &value)
{
    const double zoom = value.toDouble(0.0);
    if (!std::isfinite(zoom))
        return 0;
    // Clamped before the conversion, so no stored number can overflow it.
    return static_cast<int>(std::clamp(zoom, 0.0, double(WorkspaceDocument::maxZoomIndex)));
}

} // namespace

QByteArray WorkspaceDocument::toJson() const
{
    QJsonArray sessionArray;
    for (const SessionState &session : sessions) {
        QJsonObject object;
        object.insert(QLatin1String("id"), session.id);
        object.insert(QLatin1String("zoom"), session.zoom);
        object.insert(QLatin1String("viewOnly"), session.viewOnly.value_or(false));
        sessionArray.append(object);
    }
    QJsonObject top;
    top.insert(QLatin1String("mode"), mode);
    top.insert(QLatin1String("sessions"), sessionArray);
    top.insert(QLatin1String("cellIds"), QJsonArray::fromStringList(cellIds));
    top.insert(QLatin1String("active"), active);
    top.insert(QLatin1String("sidebar"), sidebar);
    return QJsonDocument(top).toJson(QJsonDocument::Compact);
}

WorkspaceDocument WorkspaceDocument::fromJson(const QByteArray &json)
{
    // Text that does not parse, or a top level that is no object, reads as {}.
    const QJsonObject top = QJsonDocument::fromJson(json).object();
    WorkspaceDocument document;

    const QJsonArray sessionArray = top.value(QLatin1String("sessions")).toArray();
    for (const QJsonValue &element : sessionArray) {
        const QJsonObject object = element.toObject();
        SessionState session;
        session.id = object.value(QLatin1String("id")).toString();
        session.zoom = readZoom(object.value(QLatin1String("zoom")));
        const QJsonValue viewOnly = object.value(QLatin1String("viewOnly"));
        if (viewOnly.isBool())
            session.viewOnly = viewOnly.toBool();
        document.sessions.append(session);
    }

    // A repeated id leaves its later cell empty, so no panel is placed twice.
    const QJsonArray cells = top.value(QLatin1String("cellIds")).toArray();
    QStringList stored;
    for (int i = 0; i < cellCount && i < cells.size(); ++i) {
        const QString id = cells.at(i).toString();
        if (stored.contains(id))
            continue;
        stored.append(id);
        document.cellIds[i] = id;
    }

    document.active = top.value(QLatin1String("active")).toString();
    document.sidebar = top.value(QLatin1String("sidebar")).toBool(true);
    document.mode = readMode(top.value(QLatin1String("mode")));
    return document;
}

void WorkspaceDocument::saveSettings(QSettings &settings, const QString &key) const
{
    settings.setValue(key, toJson());
}

WorkspaceDocument WorkspaceDocument::fromSettings(QSettings &settings, const QString &key)
{
    return fromJson(settings.value(key).toByteArray());
}
