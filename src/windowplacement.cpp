#include "windowplacement.h"

#include <QDataStream>
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
    const QSize minimum = minimumOn(area);
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

QSize WindowPlacement::minimumOn(const QRect &area) const
{
    return area.isEmpty() ? minimumSize : minimumSize.boundedTo(area.size());
}

QRect WindowPlacement::storedNormalGeometry(const QByteArray &saved)
{
    // Qt's layout since version 4: a magic number, the format's major and minor version, the
    // frame geometry, then the normal geometry; later versions only append.
    QDataStream stream(saved);
    stream.setVersion(QDataStream::Qt_4_0);
    quint32 magic = 0;
    quint16 major = 0;
    quint16 minor = 0;
    QRect frame;
    QRect normal;
    stream >> magic >> major >> minor >> frame >> normal;
    const bool ok = stream.status() == QDataStream::Ok && magic == 0x1D9D0CB && major >= 1;
    return ok ? normal : QRect();
}
