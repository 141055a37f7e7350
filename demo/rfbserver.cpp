#include "rfbserver.h"

#include "demopanel.h"
#include "rfbserverconnection.h"

#include <QTcpSocket>

RfbServer::RfbServer(DemoPanel *panel, const QString &password, int maxMinor, QObject *parent)
    : QObject(parent)
    , panel(panel)
    , password(password)
    , maxMinor(maxMinor)
{
    connect(&tcp, &QTcpServer::newConnection, this, &RfbServer::acceptConnections);
    connect(panel, &DemoPanel::dropRequested, this, [this]() { closeAllBut(nullptr); });
}

bool RfbServer::listen(const QHostAddress &address, quint16 port)
{
    return tcp.listen(address, port);
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
    while (QTcpSocket *socket = tcp.nextPendingConnection()) {
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
