#pragma once

#include <QString>
#include <QStringList>

// Which panel shows in which workspace cell, and the layout that decides how
// many cells are on screen. A plain value without widgets: the main window
// asks it where a session goes and which ones are visible, then draws that.
//
// Four cells always exist (0–1 the first row, 2–3 the second); the layout
// shows the first 1 (tabs: no cells at all), 2 or 4. A non-empty id occurs in
// at most one cell; an id need not belong to an open session.
class CellRules
{
public:
    static constexpr int cellCount = 4;

    // 1 (tabs), 2 or 4 are the layouts; nothing else is.
    static bool isLayoutMode(int count) { return count == 1 || count == 2 || count == 4; }

    int layoutMode() const { return mode; }
    const QStringList &cellIds() const { return ids; }
    QString cellId(int cell) const;

    // Whether id sits in one of the cells the current layout shows (never in tabs).
    bool isShown(const QString &id) const;

    // Places the panel id when a session is opened. cell 0–3 asks for that cell
    // (a panel already in another cell swaps with the one there); any other value
    // lets the layout choose: the first empty shown cell, else the shown cell of
    // selectedId, else cell 0. In tabs, or when id is shown already, nothing moves.
    void place(const QString &id, int cell, const QString &selectedId);

    // Switches to layout count (ignored unless isLayoutMode). With cells, every id
    // of sessionIds (in order) that sits in no cell takes the first empty one of
    // all four, so the two-cell layout can hold hidden panels in cells 2 and 3.
    void setLayoutMode(int count, const QStringList &sessionIds);

    // Empties one cell (0–3); the panel that was there is not closed.
    void clearCell(int cell);
    // Empties every cell that holds id.
    void removeId(const QString &id);

    // Sets the state read back from storage: a mode other than 1, 2 or 4 reads as
    // 1; ids beyond four are ignored and an id repeated in a later cell leaves that
    // cell empty. No spreading happens.
    void restore(int mode, const QStringList &cellIds);

    // The selection after a rebuild of the cells page: selectedId when it is
    // shown, else the first of sessionIds that is shown, else "".
    QString fixSelection(const QString &selectedId, const QStringList &sessionIds) const;

private:
    void put(const QString &id, int cell);

    QStringList ids = QStringList(cellCount, QString());
    int mode = 1;
};
