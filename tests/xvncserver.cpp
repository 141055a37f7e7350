#include "xvncserver.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

bool displayLooksFree(int n)
{
    return !QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n))
           && !QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(n));
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

// True once the port answers with an RFB version line.
bool answersRfb(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    if (!probe.waitForConnected(300))
        return false;
    QByteArray greeting;
    QDeadlineTimer deadline(1500);
    while (greeting.size() < 12 && !deadline.hasExpired()) {
        if (probe.bytesAvailable() == 0 && !probe.waitForReadyRead(int(deadline.remainingTime())))
            break;
        greeting += probe.readAll();
    }
    probe.abort();
    return greeting.startsWith("RFB 003.");
}

} // namespace

XvncServer::XvncServer() = default;

XvncServer::~XvncServer()
{
    stop();
    dir.reset();
}

bool XvncServer::isRunning() const
{
    return process && process->state() == QProcess::Running;
}

bool XvncServer::start(QSize size, const QString &password, quint16 port)
{
    stop();
    dir.reset();
    error.clear();
    const QString xvnc = QStandardPaths::findExecutable(QStringLiteral("Xvnc"));
    if (xvnc.isEmpty()) {
        error = QStringLiteral("Xvnc is not installed: the real-peer tests need the Debian package "
                               "tigervnc-standalone-server (scripts/deps.sh installs it)");
        return false;
    }
    dir = std::make_unique<QTemporaryDir>();
    if (!dir->isValid()) {
        error = QStringLiteral("cannot create a temporary folder for Xvnc");
        return false;
    }

    QString passwordFile;
    if (!password.isEmpty()) {
        const QString vncpasswd = QStandardPaths::findExecutable(QStringLiteral("vncpasswd"));
        if (vncpasswd.isEmpty()) {
            error = QStringLiteral("vncpasswd is not installed: the password tests need the "
                                   "Debian package tigervnc-tools (scripts/deps.sh installs it)");
            return false;
        }
        QProcess maker;
        maker.start(vncpasswd, {QStringLiteral("-f")});
        if (!maker.waitForStarted(5000)) {
            error = QStringLiteral("vncpasswd did not start");
            return false;
        }
        maker.write(password.toLatin1() + '\n');
        maker.closeWriteChannel();
        if (!maker.waitForFinished(5000) || maker.exitCode() != 0) {
            error = QStringLiteral("vncpasswd -f failed");
            return false;
        }
        passwordFile = dir->filePath(QStringLiteral("passwd"));
        QFile file(passwordFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(maker.readAllStandardOutput()) <= 0) {
            error = QStringLiteral("cannot write the VNC password file");
            return false;
        }
        file.close();
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    // Several tests may start servers at once: random starting display, retry on collisions.
    int display = 40 + int(QRandomGenerator::global()->bounded(400));
    for (int attempt = 0; attempt < 8; ++attempt) {
        while (!displayLooksFree(display))
            ++display;
        const quint16 rfb = port != 0 ? port : freeLoopbackPort();
        if (rfb != 0 && launch(display, rfb, size, passwordFile))
            return true;
        display += 1 + int(QRandomGenerator::global()->bounded(20));
        // A given port may still be held by the server that just stopped.
        if (port != 0)
            QThread::msleep(250);
    }
    if (error.isEmpty())
        error = QStringLiteral("Xvnc did not come up");
    stop();
    return false;
}

bool XvncServer::launch(int display, quint16 port, const QSize &size, const QString &passwordFile)
{
    process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(dir->filePath(QStringLiteral("xvnc.log")));
    QStringList args{QStringLiteral(":%1").arg(display),
                     QStringLiteral("-rfbport"),
                     QString::number(port),
                     QStringLiteral("-interface"),
                     QStringLiteral("127.0.0.1"),
                     QStringLiteral("-localhost"),
                     QStringLiteral("-nolisten"),
                     QStringLiteral("tcp"),
                     QStringLiteral("-geometry"),
                     QStringLiteral("%1x%2").arg(size.width()).arg(size.height()),
                     QStringLiteral("-depth"),
                     QStringLiteral("24"),
                     QStringLiteral("-desktop"),
                     QStringLiteral("pelorin-test")};
    if (!security.isEmpty()) {
        args << security;
        if (!passwordFile.isEmpty())
            args << QStringLiteral("-PasswordFile") << passwordFile;
    } else if (passwordFile.isEmpty()) {
        args << QStringLiteral("-SecurityTypes") << QStringLiteral("None");
    } else {
        args << QStringLiteral("-SecurityTypes") << QStringLiteral("VncAuth")
             << QStringLiteral("-PasswordFile") << passwordFile;
    }
    process->start(QStandardPaths::findExecutable(QStringLiteral("Xvnc")), args);
    if (!process->waitForStarted(5000)) {
        error = QStringLiteral("Xvnc did not start: %1").arg(process->errorString());
        process.reset();
        return false;
    }

    QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        if (process->state() != QProcess::Running) {
            error = QStringLiteral("Xvnc on :%1 port %2 exited: %3")
                        .arg(display)
                        .arg(port)
                        .arg(logTail());
            process.reset();
            return false;
        }
        const bool socketReady
            = QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display));
        if (socketReady && answersRfb(port) && process->state() == QProcess::Running) {
            displayNumber = display;
            rfbPort = port;
            return true;
        }
        QThread::msleep(50);
    }
    error = QStringLiteral("Xvnc on :%1 port %2 did not answer within 15 s: %3")
                .arg(display)
                .arg(port)
                .arg(logTail());
    process->kill();
    process->waitForFinished(3000);
    process.reset();
    return false;
}

void XvncServer::stop()
{
    if (process) {
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(3000)) {
                process->kill();
                process->waitForFinished(3000);
            }
        }
        process.reset();
    }
    displayNumber = -1;
    rfbPort = 0;
}

QString XvncServer::logTail() const
{
    if (!dir)
        return QString();
    QFile log(dir->filePath(QStringLiteral("xvnc.log")));
    if (!log.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray text = log.readAll();
    return QString::fromLocal8Bit(text.right(800)).trimmed();
}

bool XvncServer::run(const QString &program, const QStringList &arguments, QByteArray *output,
                     int timeoutMs)
{
    if (!isRunning()) {
        error = QStringLiteral("Xvnc is not running");
        return false;
    }
    QProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), displayName());
    env.remove(QStringLiteral("XAUTHORITY"));
    client.setProcessEnvironment(env);
    client.start(program, arguments);
    if (!client.waitForStarted(5000)) {
        error = QStringLiteral("%1 did not start (is it installed?)").arg(program);
        return false;
    }
    if (!client.waitForFinished(timeoutMs)) {
        client.kill();
        client.waitForFinished(1000);
        error = QStringLiteral("%1 did not finish within %2 ms").arg(program).arg(timeoutMs);
        return false;
    }
    if (output)
        *output = client.readAllStandardOutput();
    if (client.exitStatus() != QProcess::NormalExit || client.exitCode() != 0) {
        error = QStringLiteral("%1 failed: %2")
                    .arg(program, QString::fromLocal8Bit(client.readAllStandardError()).trimmed());
        return false;
    }
    return true;
}

QPoint XvncServer::pointer()
{
    QByteArray text;
    if (!run(QStringLiteral("xdotool"), {QStringLiteral("getmouselocation")}, &text))
        return QPoint(-1, -1);
    static const QRegularExpression pattern(QStringLiteral("x:(\\d+) y:(\\d+)"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(text));
    if (!match.hasMatch())
        return QPoint(-1, -1);
    return QPoint(match.captured(1).toInt(), match.captured(2).toInt());
}
