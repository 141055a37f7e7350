// The RFB client must not care how a server's bytes are cut into reads: every valid session
// gives the same framebuffer, signals and replies whether it arrives whole, split at any single
// point, byte by byte or in random pieces.
#include "hextileencoder.h"
#include "pixelformat.h"
#include "rfbclient.h"
#include "rfbtestserver.h"
#include "xvncserver.h"
#include "zrleencoder.h"

#include <QPainter>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <limits>
#include <memory>

using namespace rfbwire;

namespace {

const QRgb emptyScreen = 0xFF101820;

// Builds a server's side of a session and, next to it, the picture a correct client must end up
// with, drawn independently of the client's decoder.
class SessionScript
{
public:
    QByteArray bytes;
    QImage expected;
    QString name;
    int frames = 0; // frameChanged signals: ServerInit plus each update with rectangles
    qsizetype handshakeSize = 0; // the bytes up to the end of ServerInit

    SessionScript(int minor, bool vncAuth, quint16 w, quint16 h, const QByteArray &desktop)
    {
        bytes = version(minor);
        if (minor == 3)
            bytes += u32(vncAuth ? 2 : 1);
        else
            bytes += vncAuth ? securityTypes({ 1, 2 }) : securityTypes({ 1 });
        if (vncAuth)
            bytes += QByteArray::fromHex("f0e1d2c3b4a5968778695a4b3c2d1e0f") + u32(0);
        else if (minor >= 8)
            bytes += u32(0);
        bytes += serverInit(w, h, desktop);
        handshakeSize = bytes.size();
        expected = blank(w, h);
        name = QString::fromUtf8(desktop);
        frames = 1;
    }

    void beginUpdate(quint16 rectangles)
    {
        bytes += update(rectangles);
        if (rectangles > 0)
            ++frames;
    }

    void raw(quint16 x, quint16 y, quint16 w, quint16 h, quint32 seed)
    {
        bytes += rectHeader(x, y, w, h, 0);
        bytes.reserve(bytes.size() + qsizetype(w) * h * 4);
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c) {
                const quint32 v = (quint32(c) * 2654435761u) ^ (quint32(r) * 40503u) ^ seed;
                const uchar b = uchar(v), g = uchar(v >> 8), red = uchar(v >> 16);
                bytes += char(b);
                bytes += char(g);
                bytes += char(red);
                bytes += char(v >> 24); // ignored by the client
                expected.setPixel(x + c, y + r, qRgb(red, g, b));
            }
    }

    void copy(quint16 x, quint16 y, quint16 w, quint16 h, quint16 sx, quint16 sy)
    {
        bytes += copyRect(x, y, w, h, sx, sy);
        const QImage area = expected.copy(sx, sy, w, h);
        QPainter painter(&expected);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(x, y, area);
    }

    // The area of `source` at the same place, encoded by the demo panels' encoders as ZRLE (16;
    // the session's rectangles share one zlib stream) or Hextile (5).
    void encoded(qint32 encoding, const QImage &source, const QRect &area)
    {
        bytes += rectHeader(quint16(area.x()), quint16(area.y()), quint16(area.width()),
                     quint16(area.height()), encoding)
            + (encoding == 16 ? zrleEncoder->encode(source, area, PixelFormat())
                              : HextileEncoder::encode(source, area, PixelFormat()));
        QPainter painter(&expected);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(area.topLeft(), source, area);
    }

    void resize(quint16 w, quint16 h)
    {
        bytes += desktopSize(w, h);
        expected = blank(w, h);
    }

    void others()
    {
        bytes += u8(1) + u8(0) + u16(7) + u16(3) + QByteArray(18, '\x11'); // colour map
        bytes += bell();
        bytes += cutText(33);
        bytes += update(0);
    }

private:
    std::shared_ptr<ZrleEncoder> zrleEncoder = std::make_shared<ZrleEncoder>();

    static QImage blank(int w, int h)
    {
        QImage image(w, h, QImage::Format_RGB32);
        image.fill(emptyScreen);
        return image;
    }
};

SessionScript smallSession(int minor, bool vncAuth)
{
    SessionScript s(minor, vncAuth, 9, 6, "Щит 1");
    s.beginUpdate(3);
    s.raw(0, 0, 9, 6, 1);
    s.raw(2, 1, 3, 2, 2);
    s.copy(4, 3, 5, 3, 0, 0);
    s.others();
    s.beginUpdate(3);
    s.resize(5, 4);
    s.raw(1, 1, 4, 3, 3);
    s.copy(0, 0, 3, 3, 1, 1); // overlapping source and destination
    s.beginUpdate(1);
    s.raw(0, 0, 0, 0, 4); // empty rectangle
    return s;
}

// Small, yet a mix of subencodings, with the zlib stream going on from one rectangle to the next.
SessionScript compressedSession()
{
    SessionScript s(8, false, 40, 24, "Щит 2");
    const QImage picture = variedPicture(QSize(200, 100)).copy(40, 50, 40, 24);
    s.beginUpdate(3);
    s.encoded(16, picture, QRect(0, 0, 40, 24));
    s.encoded(5, picture.mirrored(), QRect(3, 2, 20, 13));
    s.encoded(16, picture.mirrored(true, false), QRect(5, 5, 30, 10));
    return s;
}

SessionScript largeSession()
{
    SessionScript s(8, true, 800, 480, "panel");
    s.beginUpdate(1);
    s.raw(0, 0, 800, 480, 10);
    for (int i = 0; i < 6; ++i) {
        s.beginUpdate(4);
        s.raw(quint16(37 * i), quint16(11 * i), 300, 200, 20 + i);
        s.copy(
            quint16(100 + i), quint16(50 + i), 400, 300, quint16(90 + 2 * i), quint16(40 + 3 * i));
        s.copy(0, 0, 800, 240, 0, 240);
        s.raw(799, 479, 1, 1, 30 + i);
        s.others();
    }
    s.beginUpdate(2);
    s.resize(1024, 600);
    s.raw(0, 0, 1024, 600, 40);
    // Rectangles larger than one parse step decodes.
    const QImage picture = variedPicture(QSize(1024, 600));
    s.beginUpdate(2);
    s.encoded(16, picture, QRect(0, 0, 1024, 600));
    s.encoded(5, picture.mirrored(), QRect(0, 0, 1024, 600));
    s.beginUpdate(1);
    s.copy(1, 1, 1000, 500, 0, 0);
    s.beginUpdate(12); // a scroll sent line by line, each line a move of the whole screen
    for (int i = 0; i < 12; ++i)
        s.copy(0, 0, 1024, 599, 0, 1);
    return s;
}

struct Outcome
{
    QImage framebuffer;
    QString name;
    int frames = 0;
    int ended = 0;
    RfbClient::ProtocolState state = RfbClient::Idle;
    QByteArray written;
};

// Feeds the session in the given pieces; events run between pieces when asked to.
Outcome play(const QByteArray &bytes, const QList<qsizetype> &cuts, bool runEvents = false)
{
    PipeTransport pipe;
    RfbClient client(nullptr, &pipe);
    client.setCompression(true);
    QSignalSpy connected(&client, &RfbClient::connected);
    QSignalSpy frames(&client, &RfbClient::frameChanged);
    QSignalSpy ended(&client, &RfbClient::ended);
    // Only the bytes decide what the client writes: no timer may add a request or end the
    // session while the events run, however slow the machine.
    for (QTimer *timer : { client.responseTimerForTest(), client.updateTimerForTest(),
             client.keepAliveTimerForTest() })
        timer->setInterval(std::numeric_limits<int>::max());
    client.connectToPanel(QStringLiteral("panel"), 5900, QStringLiteral("pw"));
    qsizetype from = 0;
    for (qsizetype cut : cuts) {
        pipe.feed(bytes.mid(from, cut - from));
        from = cut;
        if (runEvents)
            QCoreApplication::processEvents();
    }
    pipe.feed(bytes.mid(from));
    // A pass that ran out of time or work goes on in a later turn of the event loop.
    while (client.parsingPendingForTest())
        QCoreApplication::processEvents();
    Outcome out;
    out.framebuffer = client.framebuffer();
    out.name = connected.isEmpty() ? QString() : connected.at(0).at(0).toString();
    out.frames = int(frames.count());
    out.ended = int(ended.count());
    out.state = client.stateForTest();
    out.written = pipe.written();
    return out;
}

// A session through a real loopback socket: the handshake, then the rest in the given pieces,
// the event loop running after each. Once live, the client reads its socket's descriptor itself
// whenever Qt's buffer is empty, so a piece may start in Qt's buffer (or the client's) and end in
// the descriptor.
Outcome playOverSocket(QTcpServer &server, const SessionScript &s, QList<qsizetype> cuts)
{
    RfbClient client;
    client.setCompression(true);
    QSignalSpy frames(&client, &RfbClient::frameChanged);
    QSignalSpy ended(&client, &RfbClient::ended);
    client.connectToPanel(QStringLiteral("127.0.0.1"), server.serverPort(), QStringLiteral("pw"));
    Outcome out;
    // Windows a loaded machine cannot outlast; they cost time only on a failure.
    if (!server.waitForNewConnection(30000))
        return out;
    std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
    peer->write(s.bytes.left(s.handshakeSize));
    if (!QTest::qWaitFor([&]() { return client.isLive(); }, 30000))
        return out;
    qsizetype from = s.handshakeSize;
    for (qsizetype cut : cuts << s.bytes.size()) {
        peer->write(s.bytes.mid(from, cut - from));
        peer->flush();
        from = cut;
        QCoreApplication::processEvents();
    }
    if (!QTest::qWaitFor([&]() { return frames.count() >= s.frames || !ended.isEmpty(); }, 30000))
        return out;
    out.framebuffer = client.framebuffer();
    out.frames = int(frames.count());
    out.ended = int(ended.count());
    out.state = client.stateForTest();
    return out;
}

QList<qsizetype> randomCuts(QRandomGenerator &random, qsizetype size)
{
    QList<qsizetype> cuts;
    qsizetype pos = 0;
    for (;;) {
        // Mostly small reads, some mid-sized, a few huge ones.
        const int kind = random.bounded(10);
        const qsizetype step = kind < 5 ? 1 + random.bounded(16)
            : kind < 9                  ? 1 + random.bounded(64 * 1024)
                                        : 1 + random.bounded(2 * 1024 * 1024);
        pos += step;
        if (pos >= size)
            return cuts;
        cuts << pos;
    }
}

// Sits between a client and a real server and keeps every byte the server sent, until told to
// stop passing them on.
class RecordingProxy : public QObject
{
public:
    QByteArray recorded;
    bool forwarding = true;
    QTcpSocket *downstream = nullptr;

    bool listen(quint16 serverPort)
    {
        target = serverPort;
        connect(&server, &QTcpServer::newConnection, this, &RecordingProxy::accept);
        return server.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return server.serverPort(); }

private:
    void accept()
    {
        downstream = server.nextPendingConnection();
        auto *upstream = new QTcpSocket(this);
        connect(downstream, &QTcpSocket::readyRead, this,
            [this, upstream]() { upstream->write(downstream->readAll()); });
        connect(upstream, &QTcpSocket::readyRead, this, [this, upstream]() {
            const QByteArray bytes = upstream->readAll();
            if (!forwarding)
                return;
            recorded += bytes;
            downstream->write(bytes);
        });
        upstream->connectToHost(QHostAddress::LocalHost, target);
    }

    QTcpServer server;
    quint16 target = 0;
};

} // namespace

class TestChunkSplits : public QObject
{
    Q_OBJECT

private slots:
    void everySplitPoint_data()
    {
        QTest::addColumn<int>("minor");
        QTest::addColumn<bool>("vncAuth");
        QTest::addColumn<bool>("compressed");
        QTest::newRow("3.3 None") << 3 << false << false;
        QTest::newRow("3.3 VNC Authentication") << 3 << true << false;
        QTest::newRow("3.7 None") << 7 << false << false;
        QTest::newRow("3.7 VNC Authentication") << 7 << true << false;
        QTest::newRow("3.8 None") << 8 << false << false;
        QTest::newRow("3.8 VNC Authentication") << 8 << true << false;
        QTest::newRow("3.8 None, ZRLE and Hextile") << 8 << false << true;
    }

    // A small session cut once at every byte offset, and byte by byte.
    void everySplitPoint()
    {
        QFETCH(int, minor);
        QFETCH(bool, vncAuth);
        QFETCH(bool, compressed);
        const SessionScript s = compressed ? compressedSession() : smallSession(minor, vncAuth);

        const Outcome whole = play(s.bytes, {});
        QCOMPARE(whole.ended, 0);
        QCOMPARE(whole.state, RfbClient::Running);
        QCOMPARE(whole.name, s.name);
        QCOMPARE(whole.frames, s.frames);
        QCOMPARE(whole.framebuffer, s.expected);

        QList<qsizetype> everyByte;
        for (qsizetype i = 1; i < s.bytes.size(); ++i)
            everyByte << i;
        QList<QList<qsizetype>> splits { everyByte };
        for (qsizetype i = 1; i < s.bytes.size(); ++i)
            splits << QList<qsizetype> { i };

        for (const QList<qsizetype> &cuts : splits) {
            const Outcome o = play(s.bytes, cuts);
            const QByteArray where = QByteArray::number(cuts.size() == 1 ? cuts.first() : -1);
            QVERIFY2(o.ended == 0 && o.state == RfbClient::Running, where);
            QVERIFY2(o.name == s.name && o.frames == s.frames, where);
            QVERIFY2(o.framebuffer == s.expected, where);
            // Same replies too: version, security choice, response, set-up, requests.
            QVERIFY2(o.written == whole.written, where);
        }
    }

    // A session of several megabytes in random pieces (fixed seeds, so a failure repeats),
    // with the event loop running between some of them.
    void randomSplitsOfALargeSession()
    {
        const SessionScript s = largeSession();
        QCOMPARE(play(s.bytes, {}).framebuffer, s.expected);
        for (quint32 seed = 1; seed <= 12; ++seed) {
            QRandomGenerator random(seed);
            const QList<qsizetype> cuts = randomCuts(random, s.bytes.size());
            const Outcome o = play(s.bytes, cuts, seed % 2 == 0);
            const QByteArray what = "seed " + QByteArray::number(seed);
            QVERIFY2(o.ended == 0 && o.state == RfbClient::Running, what);
            QVERIFY2(o.frames == s.frames, what);
            QVERIFY2(o.framebuffer == s.expected, what);
        }
    }

    // Over a real socket, after the handshake: a small session split once at every byte and
    // sent byte by byte, and a large one in random pieces.
    void splitsOverASocket()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const SessionScript small = smallSession(8, true);
        QList<QList<qsizetype>> splits { {} };
        for (qsizetype i = small.handshakeSize + 1; i < small.bytes.size(); ++i) {
            splits.first() << i;
            splits << QList<qsizetype> { i };
        }
        for (const QList<qsizetype> &cuts : splits) {
            const Outcome o = playOverSocket(server, small, cuts);
            const QByteArray where = QByteArray::number(cuts.size() == 1 ? cuts.first() : -1);
            QVERIFY2(o.ended == 0 && o.state == RfbClient::Running, where);
            QVERIFY2(o.frames == small.frames && o.framebuffer == small.expected, where);
        }
        const SessionScript large = largeSession();
        QRandomGenerator random(7);
        QList<qsizetype> cuts = randomCuts(random, large.bytes.size());
        cuts.removeIf([&](qsizetype cut) { return cut <= large.handshakeSize; });
        const Outcome o = playOverSocket(server, large, cuts);
        QVERIFY(o.ended == 0 && o.frames == large.frames);
        QCOMPARE(o.framebuffer, large.expected);
    }

    // A rectangle whose last bytes the client had to wait for must not leave it waiting for as
    // many before a smaller message, which the panel only sends once the client has the frame.
    void smallUpdateAfterAWaitedRectangle()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        SessionScript s(8, true, 800, 480, "panel");
        s.beginUpdate(1);
        s.raw(0, 0, 800, 480, 1);
        const qsizetype firstEnd = s.bytes.size();
        s.beginUpdate(1);
        s.raw(5, 5, 1, 1, 2);
        RfbClient client;
        QSignalSpy frames(&client, &RfbClient::frameChanged);
        client.connectToPanel(
            QStringLiteral("127.0.0.1"), server.serverPort(), QStringLiteral("pw"));
        QVERIFY(server.waitForNewConnection(5000));
        std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
        peer->write(s.bytes.left(s.handshakeSize));
        QTRY_VERIFY(client.isLive());
        // All but the last 1000 bytes; row 478 is complete once the client has read them.
        peer->write(s.bytes.mid(s.handshakeSize, firstEnd - 1000 - s.handshakeSize));
        QTRY_COMPARE(client.framebuffer().pixel(0, 478), s.expected.pixel(0, 478));
        peer->write(s.bytes.mid(firstEnd - 1000, 1000));
        QTRY_COMPARE(frames.count(), 2);
        peer->write(s.bytes.mid(firstEnd));
        QTRY_COMPARE_WITH_TIMEOUT(frames.count(), 3, 10000); // sooner than the 12 s timeout
        QCOMPARE(client.framebuffer(), s.expected);
    }

    // A session recorded from a real server (Xvnc, VNC Authentication, full-screen patterns) is
    // replayed whole and in random pieces: each replay ends with the picture the live client had.
    void recordedXvncSession()
    {
        XVNC_NEEDED();
        XvncServer xvnc;
        QVERIFY2(
            xvnc.start(QSize(640, 400), QStringLiteral("geheim")), qPrintable(xvnc.errorString()));
        RecordingProxy proxy;
        QVERIFY(proxy.listen(xvnc.port()));

        RfbClient live;
        QSignalSpy connected(&live, &RfbClient::connected);
        QSignalSpy frames(&live, &RfbClient::frameChanged);
        QSignalSpy ended(&live, &RfbClient::ended);
        live.connectToPanel(QStringLiteral("127.0.0.1"), proxy.port(), QStringLiteral("geheim"));
        QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 10000);
        const QList<QStringList> paints = {
            { QStringLiteral("-solid"), QStringLiteral("#204080") },
            { QStringLiteral("-mod"), QStringLiteral("3"), QStringLiteral("5"),
                QStringLiteral("-fg"), QStringLiteral("#ff8000"), QStringLiteral("-bg"),
                QStringLiteral("#0040c0") },
            { QStringLiteral("-mod"), QStringLiteral("7"), QStringLiteral("2"),
                QStringLiteral("-fg"), QStringLiteral("#10e060"), QStringLiteral("-bg"),
                QStringLiteral("#600060") },
        };
        for (const QStringList &paint : paints) {
            const int before = int(frames.count());
            QVERIFY2(xvnc.run(QStringLiteral("xsetroot"), paint), qPrintable(xvnc.errorString()));
            QTRY_VERIFY_WITH_TIMEOUT(frames.count() > before, 10000);
        }
        // The last pattern is on screen; stop passing bytes on.
        auto shows = [&live](QRgb colour) {
            const QImage &fb = live.framebuffer();
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < 16; ++x)
                    if (fb.pixel(x, y) == colour)
                        return true;
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(shows(0xFF10E060) && shows(0xFF600060), 10000);
        proxy.forwarding = false;
        const QByteArray recording = proxy.recorded;
        QVERIFY(recording.size() > 640 * 400 * 4); // at least one whole screen of Raw
        // Replayed whole, the recording ends where the live client does once it has digested
        // every byte passed on to it, however long that takes here.
        const Outcome whole = play(recording, {});
        QCOMPARE(whole.name, connected.at(0).at(0).toString());
        QVERIFY(whole.frames > paints.size());
        QTRY_COMPARE_WITH_TIMEOUT(int(frames.count()), whole.frames, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(live.framebuffer() == whole.framebuffer, 20000);
        QCOMPARE(ended.count(), 0);
        const QImage picture = live.framebuffer();
        const int liveFrames = int(frames.count());
        live.disconnectFromPanel();
        xvnc.stop();

        for (quint32 seed = 100; seed < 108; ++seed) {
            QRandomGenerator random(seed);
            const Outcome o = play(recording, randomCuts(random, recording.size()), seed % 2);
            const QByteArray what = "seed " + QByteArray::number(seed);
            QVERIFY2(o.ended == 0 && o.frames == liveFrames, what);
            QVERIFY2(o.framebuffer == picture, what);
        }
    }
};

QTEST_GUILESS_MAIN(TestChunkSplits)
#include "tst_chunksplits.moc"
