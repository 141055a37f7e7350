#pragma once

// CPU clocks for the benchmarks, in nanoseconds. Thread CPU leaves out the moments the scheduler
// gives the core to another process; process CPU also counts every other thread of the program
// (Qt's painting pool, the system's work on a socket charged to the reader), which is what the
// operator's machine pays.
#include <QtGlobal>

#if defined(Q_OS_WIN)
#include <windows.h>
#else
#include <ctime>
#endif

namespace cpuclock {

#if defined(Q_OS_WIN)
inline qint64 ns(const FILETIME &kernel, const FILETIME &user)
{
    auto ticks = [](const FILETIME &t) {
        return (qint64(t.dwHighDateTime) << 32) | qint64(t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) * 100;
}
#endif

inline qint64 threadNs()
{
#if defined(Q_OS_WIN)
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    return ns(kernel, user);
#else
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
#endif
}

inline qint64 processNs()
{
#if defined(Q_OS_WIN)
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return ns(kernel, user);
#else
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
#endif
}

} // namespace cpuclock
