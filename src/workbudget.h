#pragma once

#include <QtGlobal>

// A token bucket of work: a panel may cause `capacity` at once and `perSecond` on average; a
// charge may overdraw it, and its owner then stops reading the panel until the debt is repaid,
// so a busy panel is slowed by its own TCP window instead of being cut off. Time is the
// caller's (milliseconds from any monotonic origin), so tests run the bucket in fake time.
class WorkBudget
{
public:
    WorkBudget(qint64 capacity, qint64 perSecond);

    void reset(qint64 nowMs); // full again
    void spend(qint64 amount, qint64 nowMs);
    qint64 level(qint64 nowMs); // negative while in debt
    // Milliseconds until the debt is repaid; 0 when there is none.
    qint64 msUntilRepaid(qint64 nowMs);

    qint64 capacity() const { return cap; }
    qint64 perSecond() const { return rate; }

private:
    void refill(qint64 nowMs);

    qint64 cap;
    qint64 rate;
    qint64 tokens;
    qint64 last = 0;
};
