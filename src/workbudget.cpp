#include "workbudget.h"

#include <algorithm>

WorkBudget::WorkBudget(qint64 capacity, qint64 perSecond)
    : cap(capacity), rate(perSecond), tokens(capacity)
{
}

void WorkBudget::reset(qint64 nowMs)
{
    tokens = cap;
    last = nowMs;
}

void WorkBudget::refill(qint64 nowMs)
{
    const qint64 elapsed = nowMs - last;
    if (elapsed <= 0)
        return;
    last = nowMs;
    // Never saved up past the capacity: a quiet minute buys no storm.
    const qint64 room = cap - tokens;
    tokens += elapsed >= (room / rate + 1) * 1000 ? room : std::min(room, elapsed * rate / 1000);
}

void WorkBudget::spend(qint64 amount, qint64 nowMs)
{
    refill(nowMs);
    tokens -= std::max<qint64>(amount, 0);
}

qint64 WorkBudget::level(qint64 nowMs)
{
    refill(nowMs);
    return tokens;
}

qint64 WorkBudget::msUntilRepaid(qint64 nowMs)
{
    refill(nowMs);
    return tokens >= 0 ? 0 : (-tokens * 1000 + rate - 1) / rate;
}
