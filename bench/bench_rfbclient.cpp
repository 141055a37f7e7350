// Figures for the RFB client's update path, all through an injected in-memory transport:
//  1. Raw decode of 1920 x 1080 updates: pixel bytes applied per second, and the ratio to a plain
//     memcpy of the same bytes measured in the same run (higher is better; 1.0 = memcpy speed).
//  2. Linear cost: bursts of 100,000 and of 200,000 Raw rectangles of 4 x 4 pixels (in updates of
//     50,000, as the rectangle count is 16 bits), each arriving at once; the ratio of the times.
//  3. The longest uninterrupted stretch of parsing (one event-loop turn) while a 64 MiB update of
//     4096 x 4096 pixels arrives at once: as 64 strips of 64 rows, and as one rectangle.
// Usage: bench_rfbclient [repetitions]   (default 5; the best run of each figure is reported)
#include "rfbclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QIODevice>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

namespace {

// Hands queued byte arrays to the client without copying them on the way in, so the figures
// measure the client and not the fake server.
class QueueDevice : public QIODevice
{
public:
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return queued + QIODevice::bytesAvailable(); }
    void feed(const QByteArray &bytes)
    {
        chunks.push_back(bytes);
        queued += bytes.size();
        emit readyRead();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        qint64 done = 0;
        while (done < maxSize && !chunks.empty()) {
            const QByteArray &front = chunks.front();
            const qint64 n = std::min<qint64>(maxSize - done, front.size() - frontPos);
            std::memcpy(data + done, front.constData() + frontPos, size_t(n));
            done += n;
            frontPos += n;
            if (frontPos == front.size()) {
                chunks.pop_front();
                frontPos = 0;
            }
        }
        queued -= done;
        return done;
    }
    qint64 writeData(const char *, qint64 maxSize) override { return maxSize; }

private:
    std::deque<QByteArray> chunks;
    qint64 frontPos = 0;
    qint64 queued = 0;
};

QByteArray be16(quint16 v)
{
    QByteArray b(2, Qt::Uninitialized);
    qToBigEndian(v, b.data());
    return b;
}

QByteArray be32(quint32 v)
{
    QByteArray b(4, Qt::Uninitialized);
    qToBigEndian(v, b.data());
    return b;
}

QByteArray handshake(quint16 w, quint16 h)
{
    return QByteArray("RFB 003.008\n") + char(1) + char(1) + be32(0) + be16(w) + be16(h)
           + QByteArray::fromHex("2018000100ff00ff00ff100800000000") + be32(5) + "bench";
}

QByteArray updateHeader(quint16 rectangles)
{
    return QByteArray(2, 0) + be16(rectangles);
}

void appendRaw(QByteArray &out, quint16 x, quint16 y, quint16 w, quint16 h, quint8 seed)
{
    out += be16(x) + be16(y) + be16(w) + be16(h) + be32(0);
    const qsizetype start = out.size();
    out.resize(start + qsizetype(w) * h * 4);
    char *p = out.data() + start;
    for (qsizetype i = 0; i < qsizetype(w) * h * 4; ++i)
        p[i] = char(i * 13 + seed);
}

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
        device.feed(handshake(w, h));
        frames = 0;
    }

    // Feeds the bytes and runs the event loop until `count` more updates are complete. Returns
    // the elapsed nanoseconds; `longestTurn` receives the longest single turn (the feed itself,
    // which parses synchronously, or one processEvents call running a parse continuation).
    qint64 run(const QByteArray &bytes, int count, qint64 *longestTurn = nullptr)
    {
        const int target = frames + count;
        QElapsedTimer total;
        QElapsedTimer turn;
        total.start();
        turn.start();
        device.feed(bytes);
        qint64 longest = turn.nsecsElapsed();
        while (frames < target && !failed) {
            turn.restart();
            QCoreApplication::processEvents();
            longest = std::max(longest, turn.nsecsElapsed());
        }
        if (longestTurn)
            *longestTurn = longest;
        return total.nsecsElapsed();
    }
};

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    std::printf("RFB client benchmarks, best of %d runs\n\n", repetitions);

    // 1. Raw 1920 x 1080 throughput against memcpy.
    {
        const int updates = 30;
        QByteArray update = updateHeader(1);
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
                decode += rig.run(update, 1);
            if (rig.failed)
                return 1;

            QElapsedTimer timer;
            timer.start();
            for (int i = 0; i < updates; ++i) {
                std::memcpy(copyTarget.data(), source, size_t(pixelBytes));
                // Keep the copy from being optimised away.
                asm volatile("" : : "r"(copyTarget.data()) : "memory");
            }
            const qint64 copy = timer.nsecsElapsed();
            bestDecode = bestDecode < 0 ? decode : std::min(bestDecode, decode);
            bestCopy = bestCopy < 0 ? copy : std::min(bestCopy, copy);
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
                bytes += updateHeader(quint16(inUpdate));
                for (int i = 0; i < inUpdate; ++i, ++n)
                    appendRaw(bytes, quint16((n % 256) * 4), quint16((n / 256 % 192) * 4), 4, 4,
                              quint8(n));
                left -= inUpdate;
            }
            return bytes;
        };
        const QByteArray small = burst(100000);
        const QByteArray large = burst(200000);
        qint64 bestSmall = -1, bestLarge = -1;
        for (int rep = 0; rep < repetitions; ++rep) {
            Rig rig(1024, 768);
            rig.run(burst(1000), 1);
            const qint64 a = rig.run(small, 2);
            const qint64 b = rig.run(large, 4);
            if (rig.failed)
                return 1;
            bestSmall = bestSmall < 0 ? a : std::min(bestSmall, a);
            bestLarge = bestLarge < 0 ? b : std::min(bestLarge, b);
        }
        std::printf("2. Raw 4x4 rectangles arriving at once (%lld and %lld bytes)\n",
                    static_cast<long long>(small.size()), static_cast<long long>(large.size()));
        std::printf("   100,000 rectangles: %.2f ms\n", ms(bestSmall));
        std::printf("   200,000 rectangles: %.2f ms\n", ms(bestLarge));
        std::printf("   ratio: %.2f (target <= 2.3)\n\n", double(bestLarge) / double(bestSmall));
    }

    // 3. Longest parse slice while 64 MiB arrive at once.
    {
        QByteArray strips = updateHeader(64);
        strips.reserve(64 * (12 + 4096 * 64 * 4) + 4);
        for (int s = 0; s < 64; ++s)
            appendRaw(strips, 0, quint16(s * 64), 4096, 64, quint8(s));
        QByteArray whole = updateHeader(1);
        appendRaw(whole, 0, 0, 4096, 4096, 3);

        qint64 bestStrips = -1, bestWhole = -1, totalStrips = 0, totalWhole = 0;
        for (int rep = 0; rep < repetitions; ++rep) {
            Rig rig(4096, 4096);
            qint64 longest = 0;
            const qint64 t1 = rig.run(strips, 1, &longest);
            if (bestStrips < 0 || longest < bestStrips) {
                bestStrips = longest;
                totalStrips = t1;
            }
            const qint64 t2 = rig.run(whole, 1, &longest);
            if (bestWhole < 0 || longest < bestWhole) {
                bestWhole = longest;
                totalWhole = t2;
            }
            if (rig.failed)
                return 1;
        }
        std::printf("3. 4096x4096 update (64 MiB) arriving at once\n");
        std::printf("   64 strips of 64 rows: longest slice %.2f ms (target <= 12), "
                    "whole update %.2f ms\n",
                    ms(bestStrips), ms(totalStrips));
        std::printf("   one rectangle:        longest slice %.2f ms (one step, cannot be split), "
                    "whole update %.2f ms\n",
                    ms(bestWhole), ms(totalWhole));
    }
    return 0;
}
