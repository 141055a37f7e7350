#include "windowplacement.h"

#include <QRegion>

namespace {

QRect centred(const QSize &size, const QRect &area)
{
    return QRect(area.x() + (area.width() - size.width()) / 2,
        area.y() + (area.height() - size.height()) / 2, size.width(), size.height());
}

// The shortest move that puts rect, which is no larger than area, inside it.
QRect movedInto(QRect rect, const QRect &area)
{
    if (rect.right() > area.right())
        rect.moveRight(area.right());
    if (rect.left() < area.left())
        rect.moveLeft(area.left());
    if (rect.bottom() > area.bottom())
        rect.moveBottom(area.bottom());
    if (rect.top() < area.top())
        rect.moveTop(area.top());
    return rect;
}

qint64 overlap(const QRect &a, const QRect &b)
{
    const QRect common = a.intersected(b);
    return common.isEmpty() ? 0 : qint64(common.width()) * common.height();
}

} // namespace

WindowPlacement::Result WindowPlacement::place(
    const QList<QRect> &areas, int home, const QRect &restored) const
{
    // No screen to measure (a platform that reports none): the designed sizes.
    if (areas.isEmpty())
        return { QRect(QPoint(0, 0), preferredSize), minimumSize };

    int target = qBound(0, home, int(areas.size()) - 1);
    qint64 best = 0;
    if (restored.isValid()) {
        for (int i = 0; i < areas.size(); ++i) {
            const qint64 common = overlap(restored, areas.at(i));
            if (common > best) {
                best = common;
                target = i;
            }
        }
    }
    const QRect area = areas.at(target);
    const QSize minimum = minimumSize.boundedTo(area.size());
    if (!restored.isValid())
        return { centred(preferredSize.boundedTo(area.size()), area), minimum };

    // The window grows to its minimum from the top-left corner, so judge that size.
    const QRect grown(restored.topLeft(), restored.size().expandedTo(minimum));
    QRegion outside(grown);
    for (const QRect &screen : areas)
        outside -= screen;
    if (outside.isEmpty())
        return { grown, minimum };

    const QSize size = grown.size().boundedTo(area.size());
    if (best == 0)
        return { centred(size, area), minimum };
    return { movedInto(QRect(grown.topLeft(), size), area), minimum };
}
