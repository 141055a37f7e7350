#include "cellrules.h"

QString CellRules::cellId(int cell) const
{
    return cell >= 0 && cell < cellCount ? ids.at(cell) : QString();
}

bool CellRules::isShown(const QString &id) const
{
    if (id.isEmpty() || mode == 1)
        return false;
    const int at = ids.indexOf(id);
    return at >= 0 && at < mode;
}

void CellRules::place(const QString &id, int cell, const QString &selectedId)
{
    if (cell >= 0 && cell < cellCount) {
        put(id, cell);
        return;
    }
    if (mode == 1 || isShown(id))
        return;

    int target = -1;
    for (int k = 0; k < mode && target < 0; ++k) {
        if (ids.at(k).isEmpty())
            target = k;
    }
    if (target < 0) {
        const int selectedCell = selectedId.isEmpty() ? -1 : int(ids.indexOf(selectedId));
        target = selectedCell >= 0 && selectedCell < mode ? selectedCell : 0;
    }
    put(id, target);
}

void CellRules::put(const QString &id, int cell)
{
    // The panel's old cell (even one the layout does not show) takes the
    // displaced one, so no id is ever in two cells.
    const int from = ids.indexOf(id);
    const QString displaced = ids.at(cell);
    ids[cell] = id;
    if (from >= 0 && from != cell)
        ids[from] = displaced;
}

void CellRules::setLayoutMode(int count, const QStringList &sessionIds)
{
    if (!isLayoutMode(count))
        return;
    mode = count;
    if (count == 1)
        return;
    for (const QString &id : sessionIds) {
        if (id.isEmpty() || ids.contains(id))
            continue;
        const int empty = ids.indexOf(QString());
        if (empty < 0)
            break;
        ids[empty] = id;
    }
}

void CellRules::clearCell(int cell)
{
    if (cell >= 0 && cell < cellCount)
        ids[cell].clear();
}

void CellRules::removeId(const QString &id)
{
    if (id.isEmpty())
        return;
    for (QString &entry : ids) {
        if (entry == id)
            entry.clear();
    }
}

void CellRules::restore(int layout, const QStringList &cellIds)
{
    mode = isLayoutMode(layout) ? layout : 1;
    ids = QStringList(cellCount, QString());
    for (int k = 0; k < cellCount && k < cellIds.size(); ++k) {
        if (!cellIds.at(k).isEmpty() && !ids.contains(cellIds.at(k)))
            ids[k] = cellIds.at(k);
    }
}

QString CellRules::fixSelection(const QString &selectedId, const QStringList &sessionIds) const
{
    if (isShown(selectedId))
        return selectedId;
    for (const QString &id : sessionIds) {
        if (isShown(id))
            return id;
    }
    return QString();
}
