#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class QSettings;

// What of the workspace outlives a run, as stored under "workspaceV2": compact
// JSON {"active", "cellIds", "mode", "sessions": [{"id", "viewOnly", "zoom"}],
// "sidebar"}. Reading never fails: every missing or malformed member takes its
// default, member by member.
class WorkspaceDocument
{
public:
    static constexpr int cellCount = 4;
    // Highest index of a session's scale selector ("200%").
    static constexpr int maxZoomIndex = 4;

    struct SessionState
    {
        QString id;
        int zoom = 0; // index of the scale selector, 0..maxZoomIndex
        // The session's view-only state; unset when the stored value was missing
        // or not a boolean, so the session keeps its own.
        std::optional<bool> viewOnly;

        friend bool operator==(const SessionState &a, const SessionState &b)
        {
            return a.id == b.id && a.zoom == b.zoom && a.viewOnly == b.viewOnly;
        }
    };

    int mode = 1; // 1 tabs, 2 two cells, 4 four cells
    QList<SessionState> sessions; // in the window's session order
    // Profile id per cell, "" for an empty cell; a non-empty id occurs at most once.
    QStringList cellIds = QStringList(cellCount, QString());
    QString active; // id of the selected session, "" for none
    bool sidebar = true; // address book column shown

    QByteArray toJson() const;
    static WorkspaceDocument fromJson(const QByteArray &json);

    void saveSettings(QSettings &settings, const QString &key) const;
    static WorkspaceDocument fromSettings(QSettings &settings, const QString &key);

    friend bool operator==(const WorkspaceDocument &a, const WorkspaceDocument &b)
    {
        return a.mode == b.mode && a.sessions == b.sessions && a.cellIds == b.cellIds
            && a.active == b.active && a.sidebar == b.sidebar;
    }
};
