// The client side of bench/loopback.py: connects to a panel on host:port, lets the handshake
// and the first update pass, then reports the CPU time this whole process spends (user +
// system, every thread) per update while updates keep coming for the given number of seconds.
//   bench_loopbackpeer ours HOST PORT SECONDS     our RfbClient, with the program's 35 ms pacing
//   bench_loopbackpeer libvnc HOST PORT SECONDS   libvncclient, asking again as soon as an update
//                                                 is done (only when built with libvncclient)
//   bench_loopbackpeer libvnc-paused ...          the same with a 35 ms pause after each update,
//                                                 so it idles between updates as ours does
//   bench_loopbackpeer floor ...                  the least a client that idles 35 ms between
//                                                 updates can pay: blocking reads of each update
//                                                 straight into one buffer, nothing else (POSIX)
// Prints one line: "<client> updates=<n> seconds=<wall> cpu_ms_per_update=<x>". A last argument
// zrle has ours ask for compression and libvncclient for ZRLE (the panel chooses what it sends);
// a directory after it, holding the panel's two screens as screen0.ppm and screen1.ppm, has ours
// add "exact=1" when its last frame is one of them, pixel for pixel, "exact=0" otherwise.
//   bench_loopbackpeer first raw|hextile|zrle HOST PORT PASSWORD
//                                                 our RfbClient's first whole screen from a panel
//                                                 in the given encoding: prints "first encoding=<e>
//                                                 bytes=<update bytes> ms=<request to complete>"
//                                                 (Linux: the bytes come from the kernel's count)
//   bench_loopbackpeer tiles HOST PORT UPDATES    what a panel's ZRLE is made of: a bare client
//                                                 asking as ours does (same pixel format and
//                                                 encodings) walks the tiles of that many updates
//                                                 and prints "tiles updates=<n> rects=<n>
//                                                 compressed=<bytes> <class>=<tiles>/<pixels>/
//                                                 <inflated bytes>/<runs> ..." for each subencoding
//                                                 class (POSIX)
// Under valgrind --tool=callgrind --instr-atstart=no, only the measured updates are counted: the
// instrumentation starts at the first update and stops before the line is printed.
#include "cpuclock.h"
#include "rfbclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef PELORIN_HAVE_LIBVNCCLIENT
#include <rfb/rfbclient.h>
#endif

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include <zlib.h>

#ifdef Q_OS_LINUX
#include <linux/tcp.h> // TCP_NODELAY and tcp_info with its byte counts
#elif defined(Q_OS_UNIX)
#include <netinet/tcp.h>
#endif
#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <vector>
#endif

namespace {

double processCpuMs()
{
    return double(cpuclock::processNs()) / 1e6;
}

// From the end of the first update to the end of the first update after `seconds`: whole updates
// only, so a count of instructions divides evenly.
struct Span
{
    explicit Span(int seconds)
        : seconds(seconds)
    {
    }
    const int seconds;
    int updates = -1; // the first update ends the warm-up
    bool done = false;
    double cpuStart = 0;
    double cpu = 0;
    QElapsedTimer wall;
    qint64 wallNs = 0;

    // Counts an update that has ended; true from the one that ends the span on.
    bool frame()
    {
        if (done)
            return true;
        if (++updates == 0) {
            CALLGRIND_START_INSTRUMENTATION;
            cpuStart = processCpuMs();
            wall.start();
        } else if (wall.elapsed() >= seconds * 1000) {
            CALLGRIND_STOP_INSTRUMENTATION;
            cpu = processCpuMs() - cpuStart;
            wallNs = wall.nsecsElapsed();
            done = true;
        }
        return done;
    }
    void print(const char *who, const char *more = "") const
    {
        std::printf("%s updates=%d seconds=%.2f cpu_ms_per_update=%.3f%s\n", who, updates,
            double(wallNs) / 1e9, updates > 0 ? cpu / updates : 0.0, more);
    }
};

// Whether `frame` is one of the screens in `directory` (screen0.ppm, screen1.ppm), compared word
// by word, the alpha of each pixel included.
bool showsAScreen(const QImage &frame, const QString &directory)
{
    for (const char *name : { "screen0.ppm", "screen1.ppm" }) {
        const QImage screen = QImage(directory + QLatin1Char('/') + QLatin1String(name))
                                  .convertToFormat(QImage::Format_RGB32);
        if (screen.size() != frame.size())
            continue;
        bool same = true;
        for (int y = 0; same && y < frame.height(); ++y)
            same = std::memcmp(
                       frame.constScanLine(y), screen.constScanLine(y), size_t(frame.width()) * 4)
                == 0;
        if (same)
            return true;
    }
    return false;
}

int runOurs(
    const QString &host, quint16 port, int seconds, bool compression, const QString &screens)
{
    RfbClient client;
    client.setCompression(compression);
    Span span(seconds);
    bool handshake = true;
    QObject::connect(&client, &RfbClient::frameChanged, &client, [&]() {
        if (handshake) { // ServerInit announces the empty frame
            handshake = false;
            return;
        }
        if (span.frame())
            QCoreApplication::quit();
    });
    QObject::connect(&client, &RfbClient::ended, &client, [](const QString &reason) {
        std::fprintf(stderr, "ended: %s\n", qPrintable(reason));
        QCoreApplication::exit(1);
    });
    client.connectToPanel(host, port, QString());
    const int rc = QCoreApplication::exec();
    if (screens.isEmpty())
        span.print("ours");
    else
        span.print("ours", showsAScreen(client.framebuffer(), screens) ? " exact=1" : " exact=0");
    client.disconnectFromPanel();
    return rc;
}

#ifdef PELORIN_HAVE_LIBVNCCLIENT
Span *vncSpan = nullptr;

void quiet(const char *, ...) { }

bool vncPause = false;

int runLibvnc(const char *host, quint16 port, int seconds, bool pause, bool zrle)
{
    vncPause = pause;
    rfbClientLog = rfbClientErr = quiet;
    rfbClient *client = rfbGetClient(8, 3, 4);
    if (zrle)
        client->appData.encodingsString = "zrle copyrect raw";
    client->format.redShift = 16;
    client->format.greenShift = 8;
    client->format.blueShift = 0;
    client->serverHost = strdup(host);
    client->serverPort = port;
    Span span(seconds);
    vncSpan = &span;
    client->FinishedFrameBufferUpdate = [](rfbClient *) {
        if (!vncSpan->frame() && vncPause)
            QThread::msleep(35);
    };
    if (!rfbInitClient(client, nullptr, nullptr))
        return 1;
    while (!span.done) {
        const int ready = WaitForMessage(client, 1000000);
        if (ready < 0 || (ready > 0 && !HandleRFBServerMessage(client)))
            return 1;
    }
    span.print(pause ? "libvncclient-paused" : "libvncclient " LIBVNCSERVER_VERSION);
    free(client->frameBuffer);
    client->frameBuffer = nullptr;
    rfbClientCleanup(client);
    return 0;
}
#endif

#ifdef Q_OS_UNIX
// A client with no toolkit, no event loop and no pixel work: after each update it sleeps 35 ms,
// then asks for the next and reads it, each rectangle's pixels straight into the buffer in as
// few calls and wakeups as the system allows. Only security None and Raw rectangles, which is what
// the panel of bench/loopback.py sends.
// A blocking TCP connection without delay to host:port, -1 on failure.
int connectTo(const char *host, quint16 port)
{
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *address = nullptr;
    if (getaddrinfo(host, QByteArray::number(port).constData(), &hints, &address) != 0)
        return -1;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const bool joined = fd >= 0 && connect(fd, address->ai_addr, address->ai_addrlen) == 0;
    freeaddrinfo(address);
    if (!joined) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int runFloor(const char *host, quint16 port, int seconds)
{
    const int fd = connectTo(host, port);
    if (fd < 0)
        return 1;
    const int one = 1;
    const auto take = [fd](void *data, size_t size) {
        return size == 0 || recv(fd, data, size, MSG_WAITALL) == ssize_t(size);
    };
    const auto give
        = [fd](const void *data, size_t size) { return send(fd, data, size, 0) == ssize_t(size); };
    uchar in[24];
    if (!take(in, 12) || !give("RFB 003.008\n", 12) || !take(in, 2) || !give("\1", 1)
        || !take(in, 4) || !give("\1", 1) || !take(in, 24))
        return 1;
    const int width = qFromBigEndian<quint16>(in), height = qFromBigEndian<quint16>(in + 2);
    std::vector<char> name(qFromBigEndian<quint32>(in + 20));
    std::vector<char> frame(size_t(width) * size_t(height) * 4);
    if (!take(name.data(), name.size()))
        return 1;
    uchar request[10] = { 3, 0, 0, 0, 0, 0 };
    qToBigEndian<quint16>(quint16(width), request + 6);
    qToBigEndian<quint16>(quint16(height), request + 8);
    Span span(seconds);
    while (!span.done) {
        if (!give(request, sizeof request) || !take(in, 4) || in[0] != 0)
            return 1;
        request[1] = 1; // incremental from now on
        for (int n = qFromBigEndian<quint16>(in + 2); n > 0; --n) {
            if (!take(in, 12) || qFromBigEndian<qint32>(in + 8) != 0)
                return 1;
            const size_t w = qFromBigEndian<quint16>(in + 4), h = qFromBigEndian<quint16>(in + 6);
            if (w * h * 4 > frame.size())
                return 1;
            // What is there, then a wait until the rest (up to 4 MiB of it) is there: the
            // receive low-water mark wakes the client once, not at every arriving segment.
            for (size_t done = 0; done < w * h * 4;) {
                const ssize_t got = recv(fd, frame.data() + done, w * h * 4 - done, MSG_DONTWAIT);
                if (got > 0) {
                    done += size_t(got);
                    continue;
                }
                if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                    return 1;
                const int rest = int(std::min<size_t>(w * h * 4 - done, 4 << 20));
                setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &rest, sizeof rest);
                pollfd wait { fd, POLLIN, 0 };
                poll(&wait, 1, -1);
            }
            setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
        }
        if (!span.frame())
            QThread::msleep(35);
    }
    span.print("floor");
    close(fd);
    return 0;
}

// The subencodings of ZRLE tiles, as the breakdown counts them.
struct TileClass
{
    const char *name;
    qint64 tiles = 0;
    qint64 pixels = 0;
    qint64 bytes = 0; // inflated, the subencoding byte included
    qint64 runs = 0; // RLE tiles only
};

enum { Solid, RawTile, Packed2, Packed4, Packed16, PlainRle, PaletteRle, TileClasses };

// Walks the inflated tiles of a w x h ZRLE rectangle (3-byte CPIXELs), adding them to the
// classes; false when the bytes do not make exactly those tiles.
bool walkTiles(const uchar *p, size_t size, int w, int h, TileClass *classes)
{
    size_t at = 0;
    const auto runLength = [&](int &length) {
        length = 1;
        for (;;) {
            if (at >= size)
                return false;
            const int b = p[at++];
            length += b;
            if (b != 255)
                return true;
        }
    };
    for (int ty = 0; ty < h; ty += 64) {
        for (int tx = 0; tx < w; tx += 64) {
            const int tw = std::min(64, w - tx), th = std::min(64, h - ty), total = tw * th;
            if (at >= size)
                return false;
            const size_t start = at;
            const int sub = p[at++];
            TileClass *c = nullptr;
            if (sub == 0) {
                c = &classes[RawTile];
                at += size_t(3) * size_t(total);
            } else if (sub == 1) {
                c = &classes[Solid];
                at += 3;
            } else if (sub <= 16) {
                c = &classes[sub == 2 ? Packed2 : sub <= 4 ? Packed4 : Packed16];
                const int bits = sub == 2 ? 1 : sub <= 4 ? 2 : 4;
                at += size_t(3 * sub + (tw * bits + 7) / 8 * th);
            } else if (sub == 128 || sub >= 130) {
                c = &classes[sub == 128 ? PlainRle : PaletteRle];
                if (sub >= 130)
                    at += size_t(3 * (sub - 128));
                for (int done = 0; done < total;) {
                    int length = 1;
                    if (sub == 128) {
                        at += 3;
                        if (!runLength(length))
                            return false;
                    } else {
                        if (at >= size)
                            return false;
                        if ((p[at++] & 128) && !runLength(length))
                            return false;
                    }
                    done += length;
                    ++c->runs;
                }
            } else {
                return false;
            }
            if (at > size)
                return false;
            ++c->tiles;
            c->pixels += total;
            c->bytes += qint64(at - start);
        }
    }
    return at == size;
}

// A bare client that asks as ours does and walks the tiles of each ZRLE rectangle of `updates`
// updates, the first whole and the rest incremental. Counts only: no pixel is stored.
int runTiles(const char *host, quint16 port, int updates)
{
    const int fd = connectTo(host, port);
    if (fd < 0)
        return 1;
    const auto take = [fd](void *data, size_t size) {
        return size == 0 || recv(fd, data, size, MSG_WAITALL) == ssize_t(size);
    };
    const auto give
        = [fd](const void *data, size_t size) { return send(fd, data, size, 0) == ssize_t(size); };
    uchar in[24];
    if (!take(in, 12) || !give("RFB 003.008\n", 12) || !take(in, 1) || !take(in + 1, in[0])
        || !give("\1", 1) || !take(in, 4) || !give("\1", 1) || !take(in, 24))
        return 1;
    const int width = qFromBigEndian<quint16>(in), height = qFromBigEndian<quint16>(in + 2);
    std::vector<char> name(qFromBigEndian<quint32>(in + 20));
    if (!take(name.data(), name.size()))
        return 1;
    // Our client's pixel format and encodings (ZRLE, CopyRect, Raw, DesktopSize).
    const uchar setup[] = { 0, 0, 0, 0, 32, 24, 0, 1, 0, 0xFF, 0, 0xFF, 0, 0xFF, 16, 8, 0, 0, 0, 0,
        2, 0, 0, 4, 0, 0, 0, 16, 0, 0, 0, 1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x21 };
    uchar request[10] = { 3, 0, 0, 0, 0, 0 };
    qToBigEndian<quint16>(quint16(width), request + 6);
    qToBigEndian<quint16>(quint16(height), request + 8);
    if (!give(setup, sizeof setup))
        return 1;
    z_stream stream {};
    if (inflateInit(&stream) != Z_OK)
        return 1;
    TileClass classes[TileClasses] = { { "solid" }, { "raw" }, { "packed2" }, { "packed4" },
        { "packed16" }, { "plainrle" }, { "paletterle" } };
    qint64 rects = 0, compressed = 0;
    std::vector<uchar> zipped, inflated;
    for (int u = 0; u < updates; ++u) {
        if (!give(request, sizeof request))
            return 1;
        request[1] = 1;
        if (!take(in, 4) || in[0] != 0) // the panels of the benchmark send only updates
            return 1;
        for (int n = qFromBigEndian<quint16>(in + 2); n > 0; --n) {
            if (!take(in, 12))
                return 1;
            const int w = qFromBigEndian<quint16>(in + 4), h = qFromBigEndian<quint16>(in + 6);
            const qint32 encoding = qFromBigEndian<qint32>(in + 8);
            if (encoding == 0) {
                std::vector<char> pixels(size_t(w) * size_t(h) * 4);
                if (!take(pixels.data(), pixels.size()))
                    return 1;
                continue;
            }
            if (encoding == 1) {
                if (!take(in, 4))
                    return 1;
                continue;
            }
            if (encoding == -223)
                continue;
            if (encoding != 16 || !take(in, 4)) {
                std::fprintf(stderr, "tiles: encoding %d\n", encoding);
                return 1;
            }
            zipped.resize(qFromBigEndian<quint32>(in));
            if (!take(zipped.data(), zipped.size()))
                return 1;
            ++rects;
            compressed += qint64(zipped.size());
            const size_t tiles = size_t((w + 63) / 64) * size_t((h + 63) / 64);
            inflated.resize(tiles * (1 + 3 * 127) + size_t(w) * size_t(h) * 4 + 1);
            stream.next_in = zipped.data();
            stream.avail_in = uInt(zipped.size());
            stream.next_out = inflated.data();
            stream.avail_out = uInt(inflated.size());
            const int status = inflate(&stream, Z_SYNC_FLUSH);
            if ((status != Z_OK && status != Z_BUF_ERROR) || stream.avail_in != 0
                || !walkTiles(inflated.data(), inflated.size() - stream.avail_out, w, h, classes)) {
                std::fprintf(stderr, "tiles: a ZRLE rectangle that does not walk\n");
                return 1;
            }
        }
    }
    inflateEnd(&stream);
    close(fd);
    std::printf("tiles updates=%d rects=%lld compressed=%lld", updates, rects, compressed);
    for (const TileClass &c : classes)
        std::printf(" %s=%lld/%lld/%lld/%lld", c.name, c.tiles, c.pixels, c.bytes, c.runs);
    std::printf("\n");
    return 0;
}
#endif

// Bytes the kernel has received on this process's connection to port: the descriptor is the
// client's own, so it is found by its peer. -1 where that count is not available.
qint64 receivedFrom(quint16 port)
{
#ifdef Q_OS_LINUX
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in peer {};
        socklen_t size = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) != 0
            || peer.sin_family != AF_INET || ntohs(peer.sin_port) != port)
            continue;
        tcp_info info {};
        socklen_t infoSize = sizeof info;
        if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &infoSize) == 0
            && infoSize >= socklen_t(offsetof(tcp_info, tcpi_bytes_received) + sizeof(__u64)))
            return qint64(info.tcpi_bytes_received);
    }
#else
    Q_UNUSED(port)
#endif
    return -1;
}

// Our client's first whole screen: from the update request (sent as ServerInit is read) to the
// end of the update that answers it, and the bytes that update took on the wire.
int runFirstFrame(
    const QString &encoding, const QString &host, quint16 port, const QString &password)
{
    const qint32 code = encoding == QLatin1String("zrle") ? 16
        : encoding == QLatin1String("hextile")            ? 5
                                                          : 0;
    RfbClient client;
    client.setCompression(code != 0);
    client.setZrleOfferedForTest(code != 5);
    QElapsedTimer sinceRequest;
    qint64 bytesBefore = 0;
    int frames = 0;
    double ms = -1;
    qint64 bytes = -1;
    QObject::connect(&client, &RfbClient::connected, &client, [&]() {
        bytesBefore = receivedFrom(port);
        sinceRequest.start();
    });
    QObject::connect(&client, &RfbClient::frameChanged, &client, [&]() {
        if (++frames < 2) // ServerInit announces the empty frame
            return;
        ms = double(sinceRequest.nsecsElapsed()) / 1e6;
        const qint64 after = receivedFrom(port);
        bytes = after < 0 || bytesBefore < 0 ? -1 : after - bytesBefore;
        QCoreApplication::quit();
    });
    QObject::connect(&client, &RfbClient::ended, &client, [](const QString &reason) {
        std::fprintf(stderr, "ended: %s\n", qPrintable(reason));
        QCoreApplication::exit(1);
    });
    client.connectToPanel(host, port, password);
    if (QCoreApplication::exec() != 0)
        return 1;
    // Pixels in another encoding than the one asked for would make the figure a lie.
    if (client.rectanglesForTest(code) == 0) {
        std::fprintf(stderr, "the panel sent no %s rectangle\n", qPrintable(encoding));
        return 1;
    }
    std::printf("first encoding=%s bytes=%lld ms=%.1f\n", qPrintable(encoding), bytes, ms);
    client.disconnectFromPanel();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 5 || argc > 7) {
        std::fprintf(stderr,
            "usage: %s ours|libvnc|libvnc-paused|floor HOST PORT SECONDS [raw|zrle [SCREENS]]\n"
            "       %s first raw|hextile|zrle HOST PORT PASSWORD\n"
            "       %s tiles HOST PORT UPDATES\n",
            argv[0], argv[0], argv[0]);
        return 2;
    }
    if (std::strcmp(argv[1], "first") == 0 && argc == 6)
        return runFirstFrame(QString::fromLatin1(argv[2]), QString::fromLocal8Bit(argv[3]),
            quint16(std::atoi(argv[4])), QString::fromLocal8Bit(argv[5]));
    const quint16 port = quint16(std::atoi(argv[3]));
    const int seconds = std::max(1, std::atoi(argv[4]));
    const bool zrle = argc >= 6 && std::strcmp(argv[5], "zrle") == 0;
    if (std::strcmp(argv[1], "ours") == 0)
        return runOurs(QString::fromLocal8Bit(argv[2]), port, seconds, zrle,
            argc == 7 ? QString::fromLocal8Bit(argv[6]) : QString());
#ifdef PELORIN_HAVE_LIBVNCCLIENT
    if (std::strcmp(argv[1], "libvnc") == 0 || std::strcmp(argv[1], "libvnc-paused") == 0)
        return runLibvnc(argv[2], port, seconds, std::strcmp(argv[1], "libvnc-paused") == 0, zrle);
#endif
#ifdef Q_OS_UNIX
    if (std::strcmp(argv[1], "floor") == 0 && !zrle)
        return runFloor(argv[2], port, seconds);
    if (std::strcmp(argv[1], "tiles") == 0)
        return runTiles(argv[2], port, seconds);
#endif
    std::fprintf(stderr, "unknown or unavailable client: %s\n", argv[1]);
    return 2;
}
