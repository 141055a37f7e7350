#include "singleinstance.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QWidget>

namespace {

const QByteArray kRequest = "activate\n";
const QByteArray kReply = "ok\n";
constexpr int kStepMs = 1000;

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::lockPath()
{
    return QDir(lockFolder())
        .filePath(QCoreApplication::applicationName() + QStringLiteral(".lock"));
}

QString SingleInstance::serverName()
{
    // Local server names are shared by all users of the machine (pipes on
    // Windows, sockets in the temporary folder elsewhere).
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        user = qEnvironmentVariable("USERNAME");
    // The lock's folder as the file system knows it, so two spellings of one
    // settings location meet (the folder exists once claim() has begun).
    const QString folder = QFileInfo(lockFolder()).canonicalFilePath();
    const QByteArray key = (user + QLatin1Char('\n') + folder).toUtf8();
    return QCoreApplication::applicationName() + QLatin1Char('-')
        + QString::fromLatin1(
            QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16));
}

SingleInstance::Claim SingleInstance::claim()
{
    QDir().mkpath(lockFolder());
    lock = std::make_unique<QLockFile>(lockPath());
    // Only a lock whose process is gone is stale, however old it is.
    lock->setStaleLockTime(0);
    const QDeadlineTimer deadline(answerWaitMs);
    for (;;) {
        if (lock->tryLock(0))
            break;
        if (askRunningCopy())
            return Claim::HandedOver;
        // A folder where no lock can be made at all still lets the program run.
        if (lock->error() != QLockFile::LockFailedError)
            break;
        if (deadline.hasExpired())
            return Claim::NoAnswer;
        // The holder may be starting (not listening yet) or going away.
        if (lock->tryLock(200))
            break;
    }
    listen();
    return Claim::First;
}

bool SingleInstance::listen()
{
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = serverName();
    // Holding the lock, an existing socket of this name is a crashed copy's.
    QLocalServer::removeServer(name);
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::answer);
    return server->listen(name);
}

void SingleInstance::answer()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { serve(socket); });
        serve(socket); // the request may have arrived with the connection
    }
}

void SingleInstance::serve(QLocalSocket *socket)
{
    if (!socket->canReadLine())
        return;
    const bool asked = socket->readLine() == kRequest;
    if (asked)
        socket->write(kReply);
    socket->disconnectFromServer();
    if (asked)
        emit activationRequested();
}

bool SingleInstance::askRunningCopy()
{
    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (!socket.waitForConnected(kStepMs))
        return false;
    // The running copy may take the foreground only with this start's consent.
    allowForegroundHandOver();
    socket.write(kRequest);
    if (!socket.waitForBytesWritten(kStepMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(kStepMs))
            return false;
    }
    return socket.readLine() == kReply;
}

void SingleInstance::bringToFront(QWidget *window)
{
    if (window->isMinimized())
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
}
