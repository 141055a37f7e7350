#include "panelprofile.h"

#include <QRegularExpression>
#include <QUuid>

QString PanelProfile::newId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

PanelProfile PanelProfile::createNew()
{
    PanelProfile profile;
    profile.id = newId();
    return profile;
}

bool PanelProfile::isUsableHost(const QString &host)
{
    static const QRegularExpression badCharacter(QStringLiteral("[\\s/\\\\]"));
    return !host.isEmpty() && !host.contains(badCharacter);
}

bool operator==(const PanelProfile &a, const PanelProfile &b)
{
    return a.id == b.id && a.name == b.name && a.host == b.host && a.group == b.group
        && a.password == b.password && a.notes == b.notes && a.port == b.port
        && a.viewOnly == b.viewOnly && a.reconnect == b.reconnect && a.remember == b.remember
        && a.compression == b.compression;
}
