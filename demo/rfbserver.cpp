#include "rfbserver.h"

#include "demopanel.h"
#include "rfbserverconnection.h"

#include <QSslSocket>
#include <QTcpSocket>

// Connections that may turn to TLS in the middle of the RFB handshake need a QSslSocket from the
// start; plain ones keep the QTcpSocket they always had.
class RfbServer::Listener : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;
    bool tls = false;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (!tls) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto *socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(descriptor))
            addPendingConnection(socket);
        else
            delete socket;
    }
};

QList<quint32> RfbServerTls::subtypes(bool password) const
{
    QList<quint32> offered;
    if (!certificate.isNull() && !key.isNull())
        offered.append(password ? X509Vnc : X509None);
    if (anonymous && QSslSocket::activeBackend() == QLatin1String("openssl"))
        offered.append(password ? TlsVnc : TlsNone);
    return offered;
}

RfbServer::RfbServer(DemoPanel *panel, const QString &password, int maxMinor, QObject *parent)
    : QObject(parent)
    , panel(panel)
    , password(password)
    , maxMinor(maxMinor)
    , tcp(new Listener(this))
{
    connect(tcp, &QTcpServer::newConnection, this, &RfbServer::acceptConnections);
    connect(panel, &DemoPanel::dropRequested, this, [this]() { closeAllBut(nullptr); });
}

bool RfbServer::listen(const QHostAddress &address, quint16 port)
{
    return tcp->listen(address, port);
}

quint16 RfbServer::serverPort() const
{
    return tcp->serverPort();
}

QString RfbServer::errorString() const
{
    return tcp->errorString();
}

bool RfbServer::setTls(const std::optional<RfbServerTls> &settings)
{
    if (settings && settings->subtypes(!password.isEmpty()).isEmpty())
        return false;
    tls = settings;
    tcp->tls = tls.has_value();
    return true;
}

void RfbServer::setLinkKbps(int kbps)
{
    linkKbps = kbps;
    for (const QPointer<RfbServerConnection> &connection : std::as_const(connections))
        if (connection)
            connection->setLinkKbps(kbps);
}

void RfbServer::acceptConnections()
{
    while (QTcpSocket *socket = tcp->nextPendingConnection()) {
        if (connections.size() >= maxConnections) {
            qWarning("%s",
                qPrintable(tr("Панель «%1»: больше %2 подключений, новое закрыто")
                               .arg(panel ? panel->objectName() : QString(),
                                   QString::number(maxConnections))));
            socket->close();
            socket->deleteLater();
            continue;
        }
        auto *connection
            = new RfbServerConnection(socket, panel, password, maxMinor, &counters, this);
        // The security offer follows the client's version, which has not come yet.
        if (tls && qobject_cast<QSslSocket *>(socket))
            connection->setTls(*tls);
        if (linkKbps > 0)
            connection->setLinkKbps(linkKbps);
        connections.append(connection);
        connect(connection, &RfbServerConnection::finished, this, [this, connection]() {
            connections.removeAll(connection);
            connection->deleteLater();
        });
        connect(connection, &RfbServerConnection::exclusiveRequested, this,
            [this, connection]() { closeAllBut(connection); });
    }
}

void RfbServer::closeAllBut(const RfbServerConnection *keep)
{
    // A copy: a close can finish at once and remove its connection from the list.
    const QList<QPointer<RfbServerConnection>> current = connections;
    for (const QPointer<RfbServerConnection> &connection : current)
        if (connection && connection != keep)
            connection->close();
}
