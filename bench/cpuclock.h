#pragma once

// CPU clocks for the benchmarks, in nanoseconds. Thread CPU leaves out the moments the scheduler
// gives the core to another process; process CPU also counts every other thread of the program
// (Qt's painting pool, the system's work on a socket charged to the reader), which is what the
// operator's machine pays.
#include <QtGlobal>

#if defined(Q_OS_WIN)
#include <windows.h>
#else
#include <cstdio>
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

// Time the calling thread spent on a core or waiting in the run queue for one (Linux; -1
// elsewhere). On a loaded machine a busy thread gets less CPU per second of wall time but keeps
// wanting the core: this tells how much of the wall time the thread was not idle.
inline qint64 threadWantedNs()
{
#if defined(Q_OS_LINUX)
    std::FILE *file = std::fopen("/proc/thread-self/schedstat", "r");
    if (!file)
        return -1;
    unsigned long long run = 0, wait = 0;
    const int fields = std::fscanf(file, "%llu %llu", &run, &wait);
    std::fclose(file);
    return fields == 2 ? qint64(run + wait) : -1;
#else
    return -1;
#endif
}

} // namespace cpuclock
