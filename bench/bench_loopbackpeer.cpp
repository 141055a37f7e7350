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
// zrle has ours ask for compression and libvncclient for ZRLE (the panel chooses what it sends).
//   bench_loopbackpeer first raw|hextile|zrle HOST PORT PASSWORD
//                                                 our RfbClient's first whole screen from a panel
//                                                 in the given encoding: prints "first encoding=<e>
//                                                 bytes=<update bytes> ms=<request to complete>"
//                                                 (Linux: the bytes come from the kernel's count)
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

struct Span
{
    int updates = -1; // the first update ends the warm-up
    double cpuStart = 0;
    QElapsedTimer wall;

    void frame()
    {
        if (++updates == 0) {
            cpuStart = processCpuMs();
            wall.start();
        }
    }
    void print(const char *who) const
    {
        const double cpu = processCpuMs() - cpuStart;
        std::printf("%s updates=%d seconds=%.2f cpu_ms_per_update=%.3f\n", who, updates,
            double(wall.nsecsElapsed()) / 1e9, updates > 0 ? cpu / updates : 0.0);
    }
};

int runOurs(const QString &host, quint16 port, int seconds, bool compression)
{
    RfbClient client;
    client.setCompression(compression);
    Span span;
    bool handshake = true;
    QObject::connect(&client, &RfbClient::frameChanged, &client, [&]() {
        if (handshake) { // ServerInit announces the empty frame
            handshake = false;
            return;
        }
        span.frame();
        if (span.updates == 0)
            QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
    });
    QObject::connect(&client, &RfbClient::ended, &client, [](const QString &reason) {
        std::fprintf(stderr, "ended: %s\n", qPrintable(reason));
        QCoreApplication::exit(1);
    });
    client.connectToPanel(host, port, QString());
    const int rc = QCoreApplication::exec();
    span.print("ours");
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
    Span span;
    vncSpan = &span;
    client->FinishedFrameBufferUpdate = [](rfbClient *) {
        vncSpan->frame();
        if (vncPause)
            QThread::msleep(35);
    };
    if (!rfbInitClient(client, nullptr, nullptr))
        return 1;
    while (span.updates < 0 || span.wall.elapsed() < seconds * 1000) {
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
int runFloor(const char *host, quint16 port, int seconds)
{
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *address = nullptr;
    if (getaddrinfo(host, QByteArray::number(port).constData(), &hints, &address) != 0)
        return 1;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const bool joined = fd >= 0 && connect(fd, address->ai_addr, address->ai_addrlen) == 0;
    freeaddrinfo(address);
    if (!joined)
        return 1;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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
    Span span;
    while (span.updates < 0 || span.wall.elapsed() < seconds * 1000) {
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
        span.frame();
        QThread::msleep(35);
    }
    span.print("floor");
    close(fd);
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
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr,
            "usage: %s ours|libvnc|libvnc-paused|floor HOST PORT SECONDS [raw|zrle]\n"
            "       %s first raw|hextile|zrle HOST PORT PASSWORD\n",
            argv[0], argv[0]);
        return 2;
    }
    if (std::strcmp(argv[1], "first") == 0 && argc == 6)
        return runFirstFrame(QString::fromLatin1(argv[2]), QString::fromLocal8Bit(argv[3]),
            quint16(std::atoi(argv[4])), QString::fromLocal8Bit(argv[5]));
    const quint16 port = quint16(std::atoi(argv[3]));
    const int seconds = std::max(1, std::atoi(argv[4]));
    const bool zrle = argc == 6 && std::strcmp(argv[5], "zrle") == 0;
    if (std::strcmp(argv[1], "ours") == 0)
        return runOurs(QString::fromLocal8Bit(argv[2]), port, seconds, zrle);
#ifdef PELORIN_HAVE_LIBVNCCLIENT
    if (std::strcmp(argv[1], "libvnc") == 0 || std::strcmp(argv[1], "libvnc-paused") == 0)
        return runLibvnc(argv[2], port, seconds, std::strcmp(argv[1], "libvnc-paused") == 0, zrle);
#endif
#ifdef Q_OS_UNIX
    if (std::strcmp(argv[1], "floor") == 0 && !zrle)
        return runFloor(argv[2], port, seconds);
#endif
    std::fprintf(stderr, "unknown or unavailable client: %s\n", argv[1]);
    return 2;
}
