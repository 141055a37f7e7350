#pragma once

// What every fuzz target shares: an invariant that aborts (libFuzzer then keeps the input), and
// a message handler that keeps the log to findings.

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

inline void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant violated: %s\n", what);
        std::abort();
    }
}

inline void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        std::abort();
    }
}
