#pragma once

#include <QRect>
#include <QRegion>

// Collects changed rectangles as a few rectangles: one joins a rectangle it touches, or, once
// all are taken, the one it grows least. Far-apart changes stay apart (a few small repaints
// rather than their bounding box); a burst of tiny rectangles costs linear time and no
// allocation per rectangle.
class DamageCollector
{
public:
    static constexpr int limit = 8;

    void add(const QRect &area);
    void addRegion(const QRegion &region);
    bool isEmpty() const { return count == 0; }
    // What was collected, as a region; the collector is empty afterwards.
    QRegion take();
    void clear() { count = 0; }

private:
    QRect parts[limit];
    int count = 0;
};
