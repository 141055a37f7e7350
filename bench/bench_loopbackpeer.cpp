// The client side of bench/loopback.py: connects to a panel on host:port, lets the handshake
// and the first update pass, then reports the CPU time this whole process spends (user +
// system, every thread) per update while updates keep coming for the given number of seconds.
//   bench_loopbackpeer ours HOST PORT SECONDS     our RfbClient, with the program's 35 ms pacing
//   bench_loopbackpeer libvnc HOST PORT SECONDS   libvncclient, asking again as soon as an update
//                                                 is done (only when built with libvncclient)
//   bench_loopbackpeer libvnc-paused ...          the same with a 35 ms pause after each update,
//                                                 so it idles between updates as ours does
// Prints one line: "<client> updates=<n> seconds=<wall> cpu_ms_per_update=<x>".
#include "cpuclock.h"
#include "rfbclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef PELORIN_HAVE_LIBVNCCLIENT
#include <rfb/rfbclient.h>
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

int runOurs(const QString &host, quint16 port, int seconds)
{
    RfbClient client;
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

int runLibvnc(const char *host, quint16 port, int seconds, bool pause)
{
    vncPause = pause;
    rfbClientLog = rfbClientErr = quiet;
    rfbClient *client = rfbGetClient(8, 3, 4);
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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s ours|libvnc HOST PORT SECONDS\n", argv[0]);
        return 2;
    }
    const quint16 port = quint16(std::atoi(argv[3]));
    const int seconds = std::max(1, std::atoi(argv[4]));
    if (std::strcmp(argv[1], "ours") == 0)
        return runOurs(QString::fromLocal8Bit(argv[2]), port, seconds);
#ifdef PELORIN_HAVE_LIBVNCCLIENT
    if (std::strcmp(argv[1], "libvnc") == 0 || std::strcmp(argv[1], "libvnc-paused") == 0)
        return runLibvnc(argv[2], port, seconds, std::strcmp(argv[1], "libvnc-paused") == 0);
#endif
    std::fprintf(stderr, "unknown or unavailable client: %s\n", argv[1]);
    return 2;
}
