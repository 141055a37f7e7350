// Figures for the RFB client's update path, all through an injected in-memory transport:
//  1. Raw decode of 1920 x 1080 updates: pixel bytes applied per second, and the ratio to a plain
//     memcpy of the same bytes measured in the same run (higher is better; 1.0 = memcpy speed).
//  2. Linear cost: bursts of 100,000 and of 200,000 Raw rectangles of 4 x 4 pixels (in updates of
//     50,000, as the rectangle count is 16 bits), each arriving at once; the ratio of the times.
//  3. The longest uninterrupted stretch of parsing (one event-loop turn) while a 64 MiB update of
//     4096 x 4096 pixels arrives at once: as 64 strips of 64 rows, and as one rectangle.
// Usage: bench_rfbclient [repetitions]   (default 7; the best run of each figure is reported)
#include "cpuclock.h"
#include "rfbclient.h"
#include "queuedevice.h"
#include "rfbtestserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QIODevice>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

namespace {

void appendRaw(QByteArray &out, quint16 x, quint16 y, quint16 w, quint16 h, quint8 seed)
{
    out += rfbwire::rectHeader(x, y, w, h, 0);
    const qsizetype start = out.size();
    out.resize(start + qsizetype(w) * h * 4);
    char *p = out.data() + start;
    for (qsizetype i = 0; i < qsizetype(w) * h * 4; ++i)
        p[i] = char(i * 13 + seed);
}

volatile int sink = 0;

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

struct Timing
{
    qint64 wall = 0;
    qint64 cpu = 0;
    qint64 longestTurn = 0;    // wall time of the longest single event-loop turn
    qint64 longestTurnCpu = 0; // CPU time of the longest turn by CPU time
};

// A client on a QueueDevice, brought to a running session, counting completed updates.
struct Rig
{
    QueueDevice device;
    RfbClient client{nullptr, &device};
    int frames = 0;
    bool failed = false;

    Rig(quint16 w, quint16 h)
    {
        QObject::connect(&client, &RfbClient::frameChanged, &client, [this]() { ++frames; });
        QObject::connect(&client, &RfbClient::ended, &client, [this](const QString &reason) {
            failed = true;
            std::fprintf(stderr, "ended: %s\n", qPrintable(reason));
        });
        client.connectToPanel(QStringLiteral("bench"), 5900, QString());
        device.feed(rfbwire::handshake38None(w, h, "bench"));
        frames = 0;
    }

    // Feeds the bytes and runs the event loop until `count` more updates are complete. A turn is
    // the feed itself (it parses synchronously) or one processEvents call running a continuation.
    Timing run(const QByteArray &bytes, int count)
    {
        const int target = frames + count;
        Timing t;
        QElapsedTimer total;
        QElapsedTimer turn;
        const qint64 cpuStart = cpuclock::threadNs();
        total.start();
        turn.start();
        device.feed(bytes);
        t.longestTurn = turn.nsecsElapsed();
        t.longestTurnCpu = cpuclock::threadNs() - cpuStart;
        while (frames < target && !failed) {
            const qint64 turnCpu = cpuclock::threadNs();
            turn.restart();
            QCoreApplication::processEvents();
            t.longestTurn = std::max(t.longestTurn, turn.nsecsElapsed());
            t.longestTurnCpu = std::max(t.longestTurnCpu, cpuclock::threadNs() - turnCpu);
        }
        t.wall = total.nsecsElapsed();
        t.cpu = cpuclock::threadNs() - cpuStart;
        return t;
    }
};

qint64 lower(qint64 best, qint64 value)
{
    return best < 0 ? value : std::min(best, value);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
    std::printf("RFB client benchmarks, best of %d runs\n\n", repetitions);

    // 1. Raw 1920 x 1080 throughput against memcpy.
    {
        const int updates = 30;
        QByteArray update = rfbwire::update(1);
        appendRaw(update, 0, 0, 1920, 1080, 7);
        const qint64 pixelBytes = qint64(1920) * 1080 * 4;
        std::vector<char> copyTarget(size_t(pixelBytes), 1);
        const char *source = update.constData() + 16;

        qint64 bestDecode = -1, bestCopy = -1;
        for (int rep = 0; rep < repetitions; ++rep) {
            Rig rig(1920, 1080);
            rig.run(update, 1); // warm the buffers and the image
            qint64 decode = 0;
            for (int i = 0; i < updates; ++i)
                decode += rig.run(update, 1).wall;
            if (rig.failed)
                return 1;

            QElapsedTimer timer;
            timer.start();
            for (int i = 0; i < updates; ++i) {
                std::memcpy(copyTarget.data(), source, size_t(pixelBytes));
                // Read something back so the copies cannot be optimised away.
                sink = sink + copyTarget[size_t(i) * 4099 % copyTarget.size()];
            }
            bestCopy = lower(bestCopy, timer.nsecsElapsed());
            bestDecode = lower(bestDecode, decode);
        }
        const double bytes = double(pixelBytes) * updates;
        const double decodeRate = bytes / (double(bestDecode) / 1e9);
        const double copyRate = bytes / (double(bestCopy) / 1e9);
        std::printf("1. Raw 1920x1080, %d updates of %lld pixel bytes\n", updates,
                    static_cast<long long>(pixelBytes));
        std::printf("   applied: %.0f MB/s (%.2f ms per update)\n", decodeRate / 1e6,
                    ms(bestDecode) / updates);
        std::printf("   memcpy:  %.0f MB/s (%.2f ms per update)\n", copyRate / 1e6,
                    ms(bestCopy) / updates);
        std::printf("   ratio to memcpy: %.2f (target >= 0.4)\n\n", decodeRate / copyRate);
    }

    // 2. Linear cost in the number of small rectangles arriving at once.
    {
        auto burst = [](int rectangles) {
            QByteArray bytes;
            bytes.reserve(qsizetype(rectangles) * 76 + 4 * (rectangles / 50000 + 1));
            int left = rectangles;
            int n = 0;
            while (left > 0) {
                const int inUpdate = std::min(left, 50000);
                bytes += rfbwire::update(quint16(inUpdate));
                for (int i = 0; i < inUpdate; ++i, ++n)
                    appendRaw(bytes, quint16((n % 256) * 4), quint16((n / 256 % 192) * 4), 4, 4,
                              quint8(n));
                left -= inUpdate;
            }
            return bytes;
        };
        const QByteArray small = burst(100000);
        const QByteArray large = burst(200000);
        qint64 smallWall = -1, largeWall = -1, smallCpu = -1, largeCpu = -1;
        for (int rep = 0; rep < repetitions; ++rep) {
            Rig rig(1024, 768);
            rig.run(burst(1000), 1);
            const Timing a = rig.run(small, 2);
            const Timing b = rig.run(large, 4);
            if (rig.failed)
                return 1;
            smallWall = lower(smallWall, a.wall);
            largeWall = lower(largeWall, b.wall);
            smallCpu = lower(smallCpu, a.cpu);
            largeCpu = lower(largeCpu, b.cpu);
        }
        std::printf("2. Raw 4x4 rectangles arriving at once (%lld and %lld bytes)\n",
                    static_cast<long long>(small.size()), static_cast<long long>(large.size()));
        std::printf("   100,000 rectangles: %.2f ms wall, %.2f ms CPU\n", ms(smallWall),
                    ms(smallCpu));
        std::printf("   200,000 rectangles: %.2f ms wall, %.2f ms CPU\n", ms(largeWall),
                    ms(largeCpu));
        std::printf("   ratio: %.2f by CPU time, %.2f by wall time (target <= 2.3)\n\n",
                    double(largeCpu) / double(smallCpu), double(largeWall) / double(smallWall));
    }

    // 3. Longest parse slice while 64 MiB arrive at once.
    {
        QByteArray strips = rfbwire::update(64);
        strips.reserve(64 * (12 + 4096 * 64 * 4) + 4);
        for (int s = 0; s < 64; ++s)
            appendRaw(strips, 0, quint16(s * 64), 4096, 64, quint8(s));
        QByteArray whole = rfbwire::update(1);
        appendRaw(whole, 0, 0, 4096, 4096, 3);

        Timing bestStrips, bestWhole;
        qint64 worstStrips = 0, bestStripsCpu = -1, bestWholeCpu = -1;
        bestStrips.longestTurn = bestWhole.longestTurn = -1;
        for (int rep = 0; rep < repetitions; ++rep) {
            Rig rig(4096, 4096);
            const Timing a = rig.run(strips, 1);
            const Timing b = rig.run(whole, 1);
            if (rig.failed)
                return 1;
            if (bestStrips.longestTurn < 0 || a.longestTurn < bestStrips.longestTurn)
                bestStrips = a;
            if (bestWhole.longestTurn < 0 || b.longestTurn < bestWhole.longestTurn)
                bestWhole = b;
            worstStrips = std::max(worstStrips, a.longestTurn);
            bestStripsCpu = lower(bestStripsCpu, a.longestTurnCpu);
            bestWholeCpu = lower(bestWholeCpu, b.longestTurnCpu);
        }
        std::printf("3. 4096x4096 update (64 MiB) arriving at once\n");
        std::printf("   64 strips of 64 rows: longest slice %.2f ms wall, %.2f ms CPU (target <= 12; "
                    "worst run %.2f ms wall); whole update %.2f ms\n",
                    ms(bestStrips.longestTurn), ms(bestStripsCpu), ms(worstStrips),
                    ms(bestStrips.wall));
        std::printf("   one rectangle:        longest slice %.2f ms wall, %.2f ms CPU (one step, "
                    "cannot be split); whole update %.2f ms\n",
                    ms(bestWhole.longestTurn), ms(bestWholeCpu), ms(bestWhole.wall));
    }
    return 0;
}
