/* A panel built on libvncserver, the library most embedded VNC servers are made of, for
 * bench/loopback.py: its own ZRLE encoder (or whatever else the client asks for) serves two
 * 1920 x 1080 screens in turn, so every update changes the whole screen, as the demo encoder's
 * panel (bench_updatepath --panel zrle) does with the same screens.
 *   bench_vncserverpanel SCREEN0.ppm SCREEN1.ppm
 * The screens are binary PPM files of 1920 x 1080 (bench_updatepath --screens DIR writes them).
 * Prints the loopback port it listens on, serves any number of connections with security None
 * and ends when its last connection has closed. */
#include <rfb/rfb.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

enum { width = 1920, height = 1080 };

static char *screens[2];
static int shown;
static int updatesSent;
static int clientsOpen;

/* Pixels as the server format below has them: blue, green, red, unused. */
static int loadScreen(const char *path, char *pixels)
{
    FILE *file = fopen(path, "rb");
    int w = 0, h = 0, max = 0;
    if (!file)
        return 0;
    int ok = fscanf(file, "P6 %d %d %d", &w, &h, &max) == 3 && w == width && h == height
        && max == 255 && fgetc(file) != EOF;
    for (long i = 0; ok && i < (long)width * height; ++i) {
        unsigned char rgb[3];
        ok = fread(rgb, 1, 3, file) == 3;
        pixels[4 * i] = (char)rgb[2];
        pixels[4 * i + 1] = (char)rgb[1];
        pixels[4 * i + 2] = (char)rgb[0];
        pixels[4 * i + 3] = 0;
    }
    fclose(file);
    return ok;
}

/* The next screen is put in place by the main loop, between two passes of libvncserver's. */
static void updateSent(rfbClientPtr client, int result)
{
    (void)client;
    if (result)
        ++updatesSent;
}

static void clientGone(rfbClientPtr client)
{
    (void)client;
    --clientsOpen;
}

static enum rfbNewClientAction clientJoined(rfbClientPtr client)
{
    client->clientGoneHook = clientGone;
    ++clientsOpen;
    return RFB_CLIENT_ACCEPT;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s SCREEN0.ppm SCREEN1.ppm\n", argv[0]);
        return 2;
    }
    for (int i = 0; i < 2; ++i) {
        screens[i] = malloc((size_t)width * height * 4);
        if (!screens[i] || !loadScreen(argv[1 + i], screens[i])) {
            fprintf(stderr, "cannot read %s as a %d x %d binary PPM\n", argv[1 + i], width, height);
            return 1;
        }
    }
    rfbLogEnable(0);
    int noArguments = 1;
    rfbScreenInfoPtr screen = rfbGetScreen(&noArguments, argv, width, height, 8, 3, 4);
    if (!screen)
        return 1;
    /* The clients' own format (32 bits, red at bit 16): no translation on the server's side. */
    screen->serverFormat.redShift = 16;
    screen->serverFormat.greenShift = 8;
    screen->serverFormat.blueShift = 0;
    screen->frameBuffer = screens[0];
    screen->desktopName = "libvncserver panel";
    /* Connections come from our own listening socket, on a port the system chooses. */
    screen->autoPort = FALSE;
    screen->port = 0;
    screen->ipv6port = 0;
    /* No cursor drawn into the pictures and no waiting before an update: the clients' work
     * per update is what is measured. */
    screen->cursor = NULL;
    screen->deferUpdateTime = 0;
    screen->newClientHook = clientJoined;
    screen->displayFinishedHook = updateSent;
    rfbInitServer(screen);

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = { 0 };
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0
        || listen(listener, 8) != 0
        || getsockname(listener, (struct sockaddr *)&address, &size) != 0) {
        perror("listen");
        return 1;
    }
    printf("%d\n", ntohs(address.sin_port));
    fflush(stdout);

    int served = 0;
    int flipped = 0;
    while (!served || clientsOpen > 0) {
        struct pollfd waiting = { listener, POLLIN, 0 };
        if (poll(&waiting, 1, 0) > 0) {
            const int fd = accept(listener, NULL, NULL);
            const int one = 1;
            if (fd >= 0) {
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                rfbNewClient(screen, fd);
                served = 1;
            }
        }
        rfbProcessEvents(screen, 10000);
        if (updatesSent != flipped) {
            flipped = updatesSent;
            shown ^= 1;
            screen->frameBuffer = screens[shown];
            rfbMarkRectAsModified(screen, 0, 0, width, height);
        }
    }
    close(listener);
    rfbScreenCleanup(screen);
    free(screens[0]);
    free(screens[1]);
    return 0;
}
