#pragma once

// A real RFB peer for tests: TigerVNC's Xvnc on a free X display and a free loopback port.
//
//        XvncServer xvnc;
//        QVERIFY2(xvnc.start(QSize(800, 480)), qPrintable(xvnc.errorString()));
//        // or xvnc.start(QSize(800, 480), "secret") for VNC Authentication
//        client.connectToPanel("127.0.0.1", xvnc.port(), "secret");
//        QVERIFY(xvnc.run("xsetroot", {"-solid", "#204080"}));      // DISPLAY is Xvnc's
//        QByteArray where;
//        QVERIFY(xvnc.run("xdotool", {"getmouselocation"}, &where));
//        xvnc.stop();                                               // also done by the destructor
//        xvnc.start(QSize(800, 480), "secret", port);   // back on the port of an earlier server
//
// start() fails with a clear errorString() when Xvnc (Debian package
// tigervnc-standalone-server) or vncpasswd (tigervnc-tools) is missing; tests should fail then,
// not skip. The server listens on 127.0.0.1 only, never on X11 TCP; its password file and log
// live in a temporary folder that lasts until the next start() or the destructor. Nothing here
// needs an event loop to run (it blocks while waiting for processes).
//
// Xvnc is an X server for Unix, so a Windows build of the tests has no such peer: begin each
// case that needs one with XVNC_NEEDED(), which skips it there.
//
// Part of the pelorin_testsupport library, which every test links.

#include <QByteArray>
#include <QPoint>
#include <QProcess>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

#ifdef Q_OS_WIN
#define XVNC_NEEDED() QSKIP("TigerVNC's Xvnc is an X11 server for Unix; Windows has no such peer")
#else
#define XVNC_NEEDED() static_cast<void>(0)
#endif

class XvncServer
{
public:
    XvncServer();
    ~XvncServer();
    XvncServer(const XvncServer &) = delete;
    XvncServer &operator=(const XvncServer &) = delete;

    // Starts Xvnc (depth 24) and waits until its RFB port answers. Empty password: security None.
    // Port 0 picks a free loopback port; another one is used as given, e.g. to bring a panel
    // back at the address of one that was stopped.
    bool start(QSize size = QSize(800, 480), const QString &password = QString(), quint16 port = 0);
    // From the next start(): "-SecurityTypes" and what goes with it (certificate, key) instead
    // of None or VncAuth; a password still adds its password file.
    void setSecurityArguments(const QStringList &arguments) { security = arguments; }
    void stop();
    bool isRunning() const;

    int display() const { return displayNumber; }
    QString displayName() const { return QStringLiteral(":%1").arg(displayNumber); }
    quint16 port() const { return rfbPort; }
    QString errorString() const { return error; }

    // Runs an X client against this display and waits for it (at most timeoutMs); output gets
    // its standard output. False (with errorString()) when it cannot start, times out or fails.
    bool run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
             int timeoutMs = 10000);

    // The pointer position reported by xdotool, or (-1, -1).
    QPoint pointer();

private:
    bool launch(int display, quint16 port, const QSize &size, const QString &passwordFile);
    QString logTail() const;

    std::unique_ptr<QProcess> process;
    std::unique_ptr<QTemporaryDir> dir;
    int displayNumber = -1;
    quint16 rfbPort = 0;
    QString error;
    QStringList security;
};
