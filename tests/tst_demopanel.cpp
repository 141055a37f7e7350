// The demo panels through the project's own client: handshakes (plain and over TLS), the screen's
// controls, the changed-rectangles-only updates and the pixel formats a foreign viewer may ask for.
#include "demopanel.h"
#include "demopanelsetup.h"
#include "pixelformat.h"
#include "rfbclient.h"
#include "rfbserver.h"
#include "servedpanel.h"
#include "underwine.h"
#include "zrleencoder.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <zlib.h>

#include <memory>

namespace {

QByteArray u16(quint16 v)
{
    QByteArray b(2, '\0');
    qToBigEndian(v, b.data());
    return b;
}

bool waitBytes(QTcpSocket &socket, qint64 n)
{
    return QTest::qWaitFor([&]() { return socket.bytesAvailable() >= n; }, 5000);
}

// A viewer of our own on a bare socket: RFB 3.8, security None, everything up to ServerInit read.
bool openSession(QTcpSocket &socket, quint16 port)
{
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!waitBytes(socket, 12) || socket.read(12) != "RFB 003.008\n")
        return false;
    socket.write("RFB 003.008\n");
    if (!waitBytes(socket, 2) || socket.read(2) != QByteArray("\x01\x01", 2))
        return false;
    socket.write("\x01", 1);
    if (!waitBytes(socket, 4) || socket.read(4) != QByteArray(4, '\0'))
        return false;
    socket.write("\x01", 1);
    if (!waitBytes(socket, 24))
        return false;
    const QByteArray init = socket.read(24);
    if (!waitBytes(socket, qFromBigEndian<quint32>(init.constData() + 20)))
        return false;
    socket.readAll();
    return true;
}

// The client's side of a TLS row: "" (encryption off), "required pin" (the demo certificate's
// SHA-256), "required pin:other" (another one), "preferred" (no pin).
void setClientTls(RfbClient &client, const QString &words)
{
    if (words.isEmpty())
        return;
    client.setEncryption(words.contains(QLatin1String("required"))
            ? RfbClient::Encryption::Required
            : RfbClient::Encryption::Preferred);
    if (words.contains(QLatin1String("pin:other")))
        client.setTrustedCertificate(QCryptographicHash::hash("other", QCryptographicHash::Sha256));
    else if (words.contains(QLatin1String("pin")))
        client.setTrustedCertificate(demoTls().certificate.digest(QCryptographicHash::Sha256));
}

const QString changedCertificate = QStringLiteral(
    "Сертификат панели изменился с прошлого подключения. Возможно, соединение перехвачено.");

QByteArray updateRequest(const QRect &area)
{
    return QByteArray("\x03\0", 2) + u16(area.x()) + u16(area.y()) + u16(area.width())
        + u16(area.height());
}

} // namespace

Q_DECLARE_METATYPE(PixelFormat)

class TestDemoPanel : public QObject
{
    Q_OBJECT

private slots:
    // serverTls: "" (the plain types), "x509" and/or "anonymous" (VeNCrypt's subtypes offered);
    // clientTls as setClientTls() reads it. A pinned X509 session is authenticated, an anonymous
    // one only encrypted.
    void handshake_data()
    {
        QTest::addColumn<int>("maxMinor");
        QTest::addColumn<QString>("serverPassword");
        QTest::addColumn<QString>("clientPassword");
        QTest::addColumn<QString>("endReason"); // empty: the screen arrives
        QTest::addColumn<int>("linkKbps");
        QTest::addColumn<QString>("serverTls");
        QTest::addColumn<QString>("clientTls");
        const auto row
            = [](const char *name, int maxMinor, const QString &serverPassword,
                  const QString &clientPassword, const QString &endReason, int linkKbps = 0,
                  const QString &serverTls = {}, const QString &clientTls = {}) {
                  QTest::newRow(name) << maxMinor << serverPassword << clientPassword << endReason
                                      << linkKbps << serverTls << clientTls;
              };

        const QString rejected
            = QStringLiteral("Сервер отклонил авторизацию. Проверьте пароль и права доступа.");
        const QString demo = QStringLiteral("demo");
        row("3.8 None", 8, {}, {}, {});
        row("3.8 VNC right", 8, demo, demo, {});
        row("3.8 VNC wrong", 8, demo, "dem0", rejected);
        row("3.7 None", 7, {}, {}, {});
        row("3.3 only, None", 3, {}, {}, {});
        row("3.3 only, VNC right", 3, demo, demo, {});
        row("3.3 only, VNC wrong", 3, demo, {}, rejected);
        // The reason is still queued for the link when the server closes.
        row("3.8 VNC wrong, slow link", 8, demo, "dem0", rejected, 8);

        const QString both = QStringLiteral("x509 anonymous");
        const QString pinned = QStringLiteral("required pin");
        row("3.8 X509Vnc pinned", 8, demo, demo, {}, 0, both, pinned);
        row("3.8 X509None pinned", 8, {}, {}, {}, 0, both, pinned);
        // 3.7 has no SecurityResult after None, VeNCrypt has.
        row("3.7 X509None pinned", 7, {}, {}, {}, 0, both, pinned);
        row("3.3 only, X509None pinned", 3, {}, {}, {}, 0, both, pinned);
        row("3.8 X509Vnc wrong", 8, demo, "dem0", rejected, 0, both, pinned);
        row("3.8 X509Vnc wrong, slow link", 8, demo, "dem0", rejected, 8, both, pinned);
        row("3.8 X509Vnc, another pin", 8, demo, demo, changedCertificate, 0, "x509",
            "required pin:other");
        row("3.8 TLSNone", 8, {}, {}, {}, 0, "anonymous", "preferred");
        row("3.8 TLSVnc", 8, demo, demo, {}, 0, "anonymous", "preferred");
        // Only VeNCrypt is offered: a viewer that does not encrypt finds nothing it can do.
        row("3.8 X509 to a plain viewer", 8, {}, {},
            QStringLiteral("Способ защиты соединения на этой панели не поддерживается."), 0, both,
            {});
    }

    void handshake()
    {
        QFETCH(int, maxMinor);
        QFETCH(QString, serverPassword);
        QFETCH(QString, clientPassword);
        QFETCH(QString, endReason);
        QFETCH(int, linkKbps);
        QFETCH(QString, serverTls);
        QFETCH(QString, clientTls);
        ServedPanel served(maxMinor, serverPassword);
        QVERIFY(served.listening);
        served.server.setLinkKbps(linkKbps);
        if (!serverTls.isEmpty()) {
            if (!clientTls.isEmpty() && runningUnderWine())
                QSKIP("wine's Schannel cannot serve TLS (no private key from a PKCS #12)");
            const bool anonymous = serverTls.contains(QLatin1String("anonymous"));
            if (!serverTls.contains(QLatin1String("x509"))
                && QSslSocket::activeBackend() != QLatin1String("openssl"))
                QSKIP("anonymous TLS needs the OpenSSL backend");
            RfbServerTls tls = demoTls();
            tls.anonymous = anonymous;
            if (!serverTls.contains(QLatin1String("x509")))
                tls.certificate = QSslCertificate();
            QVERIFY(served.server.setTls(tls));
        }
        RfbClient client;
        setClientTls(client, clientTls);
        QSignalSpy ended(&client, &RfbClient::ended);
        QSignalSpy connected(&client, &RfbClient::connected);
        client.connectToPanel(
            QStringLiteral("127.0.0.1"), served.server.serverPort(), clientPassword);
        if (endReason.isEmpty()) {
            QTRY_COMPARE(connected.size(), 1);
            QCOMPARE(connected.at(0).at(0).toString(), served.panel.objectName());
            QTRY_VERIFY(client.framebuffer() == served.panel.image());
            QCOMPARE(ended.size(), 0);
            QCOMPARE(client.isEncrypted(), !serverTls.isEmpty());
            QCOMPARE(client.isAuthenticated(), clientTls.contains(QLatin1String("pin")));
        } else {
            QTRY_COMPARE(ended.size(), 1);
            QCOMPARE(ended.at(0).at(0).toString(), endReason);
            QVERIFY(!client.retryable());
            QCOMPARE(connected.size(), 0);
        }
    }

    // VeNCrypt's bytes in clear, from a viewer that sends all of its part at once on a panel
    // without password offering X509None alone: the server's answers, then either TLS with a
    // SecurityResult inside or the server's close with nothing more in clear. Over the slow link
    // everything is still queued behind the version when the go-ahead is due.
    void vencryptExchange_data()
    {
        QTest::addColumn<QByteArray>("viewer");
        QTest::addColumn<int>("linkKbps");
        QTest::addColumn<QByteArray>("expected"); // after the server's version
        QTest::addColumn<bool>("tls");

        const QByteArray offer = QByteArray::fromHex("0113 0002 0001 00000104");
        const QByteArray x509None = QByteArray::fromHex("13 0002 00000104");
        QTest::newRow("X509None") << "RFB 003.008\n" + x509None << 0 << offer + '\1' << true;
        QTest::newRow("X509None, slow link")
            << "RFB 003.008\n" + x509None << 1 << offer + '\1' << true;
        QTest::newRow("version 0.1") << "RFB 003.008\n" + QByteArray::fromHex("130001") << 0
                                     << QByteArray::fromHex("0113 0002 ff") << false;
        QTest::newRow("X509Vnc, not offered")
            << "RFB 003.008\n" + QByteArray::fromHex("13 0002 00000105") << 0 << offer + '\0'
            << false;
        QTest::newRow("bytes in clear after the choice")
            << "RFB 003.008\n" + x509None + QByteArray::fromHex("160301") << 0 << offer + '\1'
            << false;
    }

    void vencryptExchange()
    {
        QFETCH(QByteArray, viewer);
        QFETCH(int, linkKbps);
        QFETCH(QByteArray, expected);
        QFETCH(bool, tls);
        if (tls && runningUnderWine())
            QSKIP("wine's Schannel cannot serve TLS (no private key from a PKCS #12)");
        ServedPanel served;
        QVERIFY(served.listening);
        QVERIFY(!served.server.setTls(RfbServerTls())); // nothing to offer
        RfbServerTls offered = demoTls();
        offered.anonymous = false;
        QVERIFY(served.server.setTls(offered));
        served.server.setLinkKbps(linkKbps);

        QSslSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, served.server.serverPort());
        socket.write(viewer);
        QVERIFY(waitBytes(socket, 12 + expected.size()));
        QCOMPARE(socket.read(12), QByteArray("RFB 003.008\n"));
        QCOMPARE(socket.read(expected.size()), expected);
        if (!tls) {
            QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(socket.readAll(), QByteArray());
            return;
        }
        QCOMPARE(socket.bytesAvailable(), 0);
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.setSslConfiguration(config);
        socket.startClientEncryption();
        QTRY_VERIFY(socket.isEncrypted());
        QCOMPARE(socket.peerCertificate(), offered.certificate);
        QVERIFY(waitBytes(socket, 4));
        QCOMPARE(socket.read(4), QByteArray(4, '\0'));
    }

    // pelorin-demo-panel --tls in a process of its own, reached through the demo certificate's pin
    // (panel: its place in demoPanelSetups()). On Windows the test command starts the Linux
    // build's, as wine's Schannel serves no TLS, and names its four ports in
    // PELORIN_TLS_DEMO_PORTS; the client then runs on Schannel.
    void tlsDemoProgram_data()
    {
        QTest::addColumn<int>("panel");
        QTest::addColumn<QString>("clientTls");
        QTest::addColumn<QString>("endReason"); // empty: the screen arrives

        QTest::newRow("X509Vnc, password") << 1 << "required pin" << QString();
        QTest::newRow("X509None") << 0 << "required pin" << QString();
        QTest::newRow("X509None, RFB 3.3 only") << 3 << "required pin" << QString();
        QTest::newRow("another pin") << 1 << "required pin:other" << changedCertificate;
    }

    void tlsDemoProgram()
    {
        QFETCH(int, panel);
        QFETCH(QString, clientTls);
        QFETCH(QString, endReason);
        if (demoProgramPorts.isEmpty()) {
            for (const QString &port : qEnvironmentVariable("PELORIN_TLS_DEMO_PORTS")
                                           .split(QLatin1Char(' '), Qt::SkipEmptyParts))
                demoProgramPorts.append(port.toUShort());
        }
        if (demoProgramPorts.isEmpty()) {
#ifdef Q_OS_WIN
            QSKIP("PELORIN_TLS_DEMO_PORTS names no pelorin-demo-panel --tls");
#else
            demoProgram = std::make_unique<QProcess>();
            demoProgram->setProgram(QStringLiteral(PELORIN_BINARY_DIR "/pelorin-demo-panel"));
            demoProgram->setArguments(
                { QStringLiteral("--tls"), QStringLiteral("--base-port"), QStringLiteral("0") });
            demoProgram->start();
            QStringList lines;
            while (lines.size() < 5 && demoProgram->waitForReadyRead(10000)) {
                while (demoProgram->canReadLine())
                    lines.append(QString::fromUtf8(demoProgram->readLine()).trimmed());
            }
            QCOMPARE(lines.size(), 5);
            for (int i = 0; i < 4; ++i)
                demoProgramPorts.append(lines.at(i).section(QLatin1Char(' '), -1).toUShort());
            QCOMPARE(lines.at(4),
                QStringLiteral("Сертификат панелей: SHA-256 ")
                    + RfbClient::groupedFingerprint(
                        demoTls().certificate.digest(QCryptographicHash::Sha256)));
#endif
        }
        QCOMPARE(demoProgramPorts.size(), 4);
        const DemoPanelSetup setup = demoPanelSetups().at(panel);
        RfbClient client;
        setClientTls(client, clientTls);
        QSignalSpy ended(&client, &RfbClient::ended);
        QSignalSpy connected(&client, &RfbClient::connected);
        client.connectToPanel(
            QStringLiteral("127.0.0.1"), demoProgramPorts.at(panel), setup.password);
        QTRY_COMPARE(connected.size() + ended.size(), 1);
        if (endReason.isEmpty()) {
            QVERIFY2(ended.isEmpty(), qPrintable(ended.value(0).value(0).toString()));
            QCOMPARE(connected.at(0).at(0).toString(), setup.name);
            QVERIFY(client.isEncrypted());
            QVERIFY(client.isAuthenticated());
            QCOMPARE(client.framebuffer().size(), setup.size);
        } else {
            QCOMPARE(ended.size(), 1);
            QCOMPARE(ended.at(0).at(0).toString(), endReason);
            QVERIFY(!client.retryable());
        }
    }

    void cleanupTestCase()
    {
        if (demoProgram) {
            demoProgram->kill();
            demoProgram->waitForFinished();
        }
    }

    // Scripts: "click x,y", "key <keysym>", "advance <ticks>". Probes check the panel's side.
    void controls_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QRect>("changes"); // must look different on the client afterwards
        QTest::addColumn<QString>("probe");

        QTest::newRow("Пуск") << "click 86,92" << DemoPanel::kStateArea << "running";
        QTest::newRow("Стоп while stopped") << "click 242,92" << QRect() << "stopped";
        QTest::newRow("set-point digits")
            << "click 100,230; key 0x34; key 0xffb2; key 0x39; key 0xff08"
            << DemoPanel::kSetPointField << "typed 42";
        QTest::newRow("set-point applied") << "click 100,230; key 0x37; key 0x35; key 0xff0d"
                                           << DemoPanel::kSetPointField << "setpoint 75";
        QTest::newRow("click elsewhere cancels")
            << "click 100,230; key 0x37; click 600,20" << QRect() << "setpoint 1450";
        QTest::newRow("size switch") << "click 242,350" << QRect() << "size 1024x600";
        QTest::newRow("drop") << "click 86,350" << QRect() << "dropped";
        // Three ticks: values, clock and a trend scrolled by CopyRect; far less than a screen.
        QTest::newRow("animation") << "advance 3" << QRect() << "copyrect";
    }

    void controls()
    {
        QFETCH(QString, script);
        QFETCH(QRect, changes);
        QFETCH(QString, probe);
        ServedPanel served;
        QVERIFY(served.listening);
        RfbClient client;
        QSignalSpy ended(&client, &RfbClient::ended);
        client.connectToPanel(QStringLiteral("127.0.0.1"), served.server.serverPort(), {});
        QTRY_VERIFY(client.isLive() && client.framebuffer() == served.panel.image());
        const QImage before = client.framebuffer().copy(changes);
        const RfbServerStats statsBefore = served.server.stats();

        int inputs = 0;
        for (const QString &step : script.split(QStringLiteral("; "))) {
            const QStringList words = step.split(QLatin1Char(' '));
            if (words[0] == QLatin1String("click")) {
                const QStringList xy = words[1].split(QLatin1Char(','));
                client.sendPointer(xy[0].toUShort(), xy[1].toUShort(), 1);
                client.sendPointer(xy[0].toUShort(), xy[1].toUShort(), 0);
                inputs += 2;
            } else if (words[0] == QLatin1String("key")) {
                client.sendKey(words[1].toUInt(nullptr, 16), true);
                client.sendKey(words[1].toUInt(nullptr, 16), false);
                inputs += 2;
            } else {
                for (int i = words[1].toInt(); i > 0; --i)
                    served.panel.advance();
            }
        }

        const QStringList p = probe.split(QLatin1Char(' '));
        if (p[0] == QLatin1String("dropped")) {
            QTRY_COMPARE(ended.size(), 1);
            QCOMPARE(ended.at(0).at(0).toString(), QStringLiteral("Соединение закрыто сервером"));
            QVERIFY(client.retryable());
            return;
        }
        QTRY_COMPARE(served.panel.inputEvents(), inputs);
        QTRY_VERIFY(client.framebuffer() == served.panel.image());
        QCOMPARE(ended.size(), 0);
        if (!changes.isNull())
            QVERIFY(client.framebuffer().copy(changes) != before);
        if (p[0] == QLatin1String("running"))
            QVERIFY(served.panel.isRunning());
        else if (p[0] == QLatin1String("stopped"))
            QVERIFY(!served.panel.isRunning());
        else if (p[0] == QLatin1String("typed"))
            QCOMPARE(served.panel.typedDigits(), p[1]);
        else if (p[0] == QLatin1String("setpoint"))
            QCOMPARE(served.panel.setPoint(), p[1].toInt());
        else if (p[0] == QLatin1String("size"))
            QCOMPARE(client.framebuffer().size(), QSize(1024, 600));
        else if (p[0] == QLatin1String("copyrect")) {
            const RfbServerStats &after = served.server.stats();
            QVERIFY(after.copyRects > statsBefore.copyRects);
            QVERIFY(after.pixels - statsBefore.pixels < quint64(800 * 480 / 10));
        }
    }

    // At most maxConnections viewers; one that has not finished its handshake in time goes.
    void connectionLimits()
    {
        ServedPanel served;
        QVERIFY(served.listening);
        QTcpSocket sockets[RfbServer::maxConnections + 1];
        for (QTcpSocket &socket : sockets) {
            socket.connectToHost(QHostAddress::LocalHost, served.server.serverPort());
            QVERIFY(socket.waitForConnected(5000));
        }
        QTRY_COMPARE(sockets[RfbServer::maxConnections].state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(served.server.connectionCount(), RfbServer::maxConnections);
        const auto timers = served.server.findChildren<QTimer *>(QStringLiteral("handshakeTimer"));
        QCOMPARE(timers.size(), RfbServer::maxConnections);
        QCOMPARE(timers.at(0)->interval(), 12000);
        for (QTimer *timer : timers)
            QMetaObject::invokeMethod(timer, "timeout");
        QTRY_COMPARE(served.server.connectionCount(), 0);
    }

    // A viewer that asks for screens but reads none gets at most ~two queued, the rest later.
    void slowReaderNotFlooded()
    {
        ServedPanel served;
        QVERIFY(served.listening);
        QTcpSocket socket;
        socket.setReadBufferSize(64);
        socket.connectToHost(QHostAddress::LocalHost, served.server.serverPort());
        socket.write("RFB 003.008\n\x01\x01");
        const QByteArray ask = QByteArray("\x03\0", 2) + u16(0) + u16(0) + u16(800) + u16(480)
            + QByteArray("\x04\0\0\0\0\0\xff\xe1", 8); // then a key release, to know it was read
        for (int i = 1; i <= 30; ++i) {
            socket.write(ask);
            QTRY_COMPARE(served.panel.inputEvents(), i);
        }
        QVERIFY(served.server.findChild<QTcpSocket *>()->bytesToWrite() < 2 * 800 * 480 * 4 + 1024);
        const quint64 sent = served.server.stats().updates;
        socket.setReadBufferSize(0);
        QTRY_VERIFY(served.server.stats().updates > sent);

        // Closed while it still does not read: dropped after the grace time.
        socket.setReadBufferSize(64);
        const QTcpSocket *viewer = served.server.findChild<QTcpSocket *>();
        // Until the kernel's buffers (larger under wine) are full and a queue remains.
        for (int asked = served.panel.inputEvents(); viewer->bytesToWrite() == 0 && asked < 200;) {
            socket.write(ask);
            ++asked;
            QTRY_COMPARE(served.panel.inputEvents(), asked);
        }
        emit served.panel.dropRequested();
        QTimer *grace = served.server.findChild<QTimer *>(QStringLiteral("handshakeTimer"));
        QVERIFY(grace && grace->isActive());
        QMetaObject::invokeMethod(grace, "timeout", Qt::DirectConnection);
        QTRY_VERIFY(!served.server.findChild<QTcpSocket *>());
    }

    // The first of ZRLE, Hextile and Raw in the client's list; Raw when it names none.
    void encodingChoice_data()
    {
        QTest::addColumn<QList<qint32>>("encodings");
        QTest::addColumn<qint32>("expected");
        QTest::newRow("ZRLE first") << QList<qint32> { 16, 5, 1, 0, -223 } << 16;
        QTest::newRow("Hextile first") << QList<qint32> { 5, 16, 0 } << 5;
        QTest::newRow("Raw first") << QList<qint32> { 0, 16, 5 } << 0;
        QTest::newRow("unknown ones first") << QList<qint32> { 7, -239, 5, 0 } << 5;
        QTest::newRow("none of them") << QList<qint32> { 1, -223 } << 0;
    }

    void encodingChoice()
    {
        QFETCH(QList<qint32>, encodings);
        QFETCH(qint32, expected);
        ServedPanel served;
        QVERIFY(served.listening);
        QTcpSocket socket;
        QVERIFY(openSession(socket, served.server.serverPort()));
        QByteArray message = QByteArray("\x02\0", 2) + u16(quint16(encodings.size()));
        for (qint32 encoding : encodings)
            message += u16(quint16(quint32(encoding) >> 16)) + u16(quint16(encoding));
        socket.write(message + updateRequest(QRect(0, 0, 800, 480)));
        QVERIFY(waitBytes(socket, 16));
        const QByteArray header = socket.read(16);
        QCOMPARE(qFromBigEndian<quint16>(header.constData() + 2), quint16(1));
        QCOMPARE(qFromBigEndian<qint32>(header.constData() + 12), expected);
    }

    // Over a slow link: the rate holds, and the bytes held for the link count as queued, so a
    // viewer asking faster than the link carries gets no pile of updates.
    void slowLink()
    {
        ServedPanel served;
        QVERIFY(served.listening);
        constexpr int kbps = 4000;
        served.server.setLinkKbps(kbps);
        QTcpSocket socket;
        QVERIFY(openSession(socket, served.server.serverPort()));
        QElapsedTimer clock;
        clock.start();
        for (int i = 1; i <= 10; ++i) {
            socket.write(
                updateRequest(QRect(0, 0, 800, 480)) + QByteArray("\x04\0\0\0\0\0\xff\xe1", 8));
            QTRY_COMPARE(served.panel.inputEvents(), i);
        }
        QVERIFY(served.server.stats().updates <= 2); // as for a viewer that reads nothing
        constexpr qint64 received = 200000;
        QTRY_VERIFY_WITH_TIMEOUT(socket.bytesAvailable() >= received, 10000);
        // Less the one burst a link allows after a pause (20 ms worth).
        QVERIFY2(clock.elapsed() >= (received - kbps * 1000 / 8 / 50) * 8 / kbps,
            qPrintable(QString::number(clock.elapsed())));
    }

    // ZRLE's compressed pixel is three bytes when all colour bits fit in the low or the high
    // three of four, in the client's byte order, and the whole pixel otherwise.
    void zrleCompressedPixel_data()
    {
        QTest::addColumn<PixelFormat>("format");
        QTest::addColumn<QByteArray>("cpixel"); // of #123456
        PixelFormat f;
        QTest::newRow("32-bit low bytes") << f << QByteArray::fromHex("563412");
        f.bigEndian = true;
        QTest::newRow("32-bit low bytes, big-endian") << f << QByteArray::fromHex("123456");
        f.redShift = 24;
        f.greenShift = 16;
        f.blueShift = 8;
        QTest::newRow("32-bit high bytes, big-endian") << f << QByteArray::fromHex("123456");
        f.bigEndian = false;
        QTest::newRow("32-bit high bytes") << f << QByteArray::fromHex("563412");
        f.depth = 32;
        QTest::newRow("depth 32") << f << QByteArray::fromHex("00563412");
        f = PixelFormat();
        f.bitsPerPixel = 16;
        f.depth = 16;
        f.redMax = 31;
        f.greenMax = 63;
        f.blueMax = 31;
        f.redShift = 11;
        f.greenShift = 5;
        QTest::newRow("16-bit") << f << QByteArray::fromHex("aa11");
    }

    void zrleCompressedPixel()
    {
        QFETCH(PixelFormat, format);
        QFETCH(QByteArray, cpixel);
        QImage image(70, 10, QImage::Format_RGB32);
        image.fill(QColor(0x12, 0x34, 0x56));
        ZrleEncoder encoder;
        QByteArray data = encoder.encode(image, image.rect(), format);
        QCOMPARE(qFromBigEndian<quint32>(data.constData()), quint32(data.size() - 4));
        // Two tiles side by side, each of one colour (subencoding 1).
        QByteArray tiles(64, '\0');
        z_stream zs {};
        QCOMPARE(inflateInit(&zs), Z_OK);
        zs.next_in = reinterpret_cast<Bytef *>(data.data() + 4);
        zs.avail_in = uInt(data.size() - 4);
        zs.next_out = reinterpret_cast<Bytef *>(tiles.data());
        zs.avail_out = uInt(tiles.size());
        QCOMPARE(inflate(&zs, Z_SYNC_FLUSH), Z_OK);
        tiles.truncate(tiles.size() - qsizetype(zs.avail_out));
        inflateEnd(&zs);
        QCOMPARE(tiles, QByteArray(1, '\1') + cpixel + QByteArray(1, '\1') + cpixel);
    }

    // A foreign viewer's pixel format, read back through the format's own masks and shifts.
    void pixelFormats_data()
    {
        QTest::addColumn<PixelFormat>("format");
        QTest::addColumn<bool>("refused");
        const auto f = [](quint8 bpp, quint8 depth, bool be, bool tc, quint16 rm, quint16 gm,
                           quint16 bm, quint8 rs, quint8 gs, quint8 bs) {
            PixelFormat pf;
            pf.bitsPerPixel = bpp;
            pf.depth = depth;
            pf.bigEndian = be;
            pf.trueColour = tc;
            pf.redMax = rm;
            pf.greenMax = gm;
            pf.blueMax = bm;
            pf.redShift = rs;
            pf.greenShift = gs;
            pf.blueShift = bs;
            return pf;
        };
        QTest::newRow("16-bit 565 big-endian")
            << f(16, 16, true, true, 31, 63, 31, 11, 5, 0) << false;
        QTest::newRow("16-bit 555 little-endian")
            << f(16, 15, false, true, 31, 31, 31, 10, 5, 0) << false;
        QTest::newRow("8-bit BGR233") << f(8, 8, false, true, 7, 7, 3, 0, 3, 6) << false;
        QTest::newRow("32-bit big-endian BGR")
            << f(32, 24, true, true, 255, 255, 255, 0, 8, 16) << false;
        QTest::newRow("colour map") << f(8, 8, false, false, 0, 0, 0, 0, 0, 0) << true;
        QTest::newRow("24 bits per pixel")
            << f(24, 24, false, true, 255, 255, 255, 16, 8, 0) << true;
    }

    void pixelFormats()
    {
        QFETCH(PixelFormat, format);
        QFETCH(bool, refused);
        ServedPanel served;
        QVERIFY(served.listening);
        QTcpSocket socket;
        QVERIFY(openSession(socket, served.server.serverPort()));

        // Area across the background, the "Пуск" button and the state area.
        const QRect area(8, 56, 40, 100);
        socket.write(QByteArray(4, '\0') + format.toWire() + QByteArray("\x02\0\0\x01", 4)
            + QByteArray(4, '\0') + updateRequest(area));
        if (refused) {
            QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
            return;
        }
        const int bytesPerPixel = format.bitsPerPixel / 8;
        const qint64 size = 4 + 12 + qint64(area.width()) * area.height() * bytesPerPixel;
        QVERIFY(waitBytes(socket, size));
        const QByteArray update = socket.read(size);
        QCOMPARE(update.left(4), QByteArray("\0\0\0\x01", 4));
        QCOMPARE(update.mid(4, 12),
            u16(area.x()) + u16(area.y()) + u16(area.width()) + u16(area.height())
                + QByteArray(4, '\0'));
        const auto *pixels = reinterpret_cast<const uchar *>(update.constData()) + 16;
        const QImage &image = served.panel.image();
        for (int y = 0; y < area.height(); ++y)
            for (int x = 0; x < area.width(); ++x) {
                const uchar *b = pixels + (y * area.width() + x) * bytesPerPixel;
                quint32 v = 0;
                for (int i = 0; i < bytesPerPixel; ++i)
                    v |= quint32(b[i]) << (format.bigEndian ? 8 * (bytesPerPixel - 1 - i) : 8 * i);
                const QRgb expected = image.pixel(area.x() + x, area.y() + y);
                const auto channel = [v](quint8 shift, quint16 max) {
                    return int((v >> shift & max) * 255 / max);
                };
                const int tolerance
                    = 255 / qMin(format.redMax, qMin(format.greenMax, format.blueMax)) / 2 + 1;
                QVERIFY2(qAbs(channel(format.redShift, format.redMax) - qRed(expected)) <= tolerance
                        && qAbs(channel(format.greenShift, format.greenMax) - qGreen(expected))
                            <= tolerance
                        && qAbs(channel(format.blueShift, format.blueMax) - qBlue(expected))
                            <= tolerance,
                    qPrintable(QStringLiteral("pixel %1,%2 = %3").arg(x).arg(y).arg(v, 0, 16)));
            }
    }

private:
    std::unique_ptr<QProcess> demoProgram;
    QList<quint16> demoProgramPorts;
};

QTEST_MAIN(TestDemoPanel)
#include "tst_demopanel.moc"
