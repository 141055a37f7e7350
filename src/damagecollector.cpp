#include "damagecollector.h"

void DamageCollector::add(const QRect &area)
{
    if (area.isEmpty())
        return;
    for (int i = 0; i < count; ++i) {
        // Touching counts as joining: two neighbours cost nothing more as one rectangle.
        if (parts[i].adjusted(-1, -1, 1, 1).intersects(area)) {
            parts[i] |= area;
            return;
        }
    }
    if (count < limit) {
        parts[count++] = area;
        return;
    }
    const auto growth = [&area](const QRect &part) {
        const QRect joined = part | area;
        return qint64(joined.width()) * joined.height() - qint64(part.width()) * part.height();
    };
    int best = 0;
    for (int i = 1; i < count; ++i) {
        if (growth(parts[i]) < growth(parts[best]))
            best = i;
    }
    parts[best] |= area;
}

void DamageCollector::addRegion(const QRegion &region)
{
    for (const QRect &r : region)
        add(r);
}

QRegion DamageCollector::take()
{
    QRegion region;
    for (int i = 0; i < count; ++i)
        region += parts[i];
    count = 0;
    return region;
}
