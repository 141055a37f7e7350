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
    connect(panel, &DemoPanel::dropRequested, this, &RfbServer::dropAll);
}

bool RfbServer::listen(const QHostAddress &address, quint16 port)
{
    return tcp.listen(address, port);
}

void RfbServer::acceptConnections()
{
    while (QTcpSocket *socket = tcp.nextPendingConnection()) {
        auto *connection
            = new RfbServerConnection(socket, panel, password, maxMinor, &counters, this);
        connections.append(connection);
        connect(connection, &RfbServerConnection::finished, this, [this, connection]() {
            connections.removeAll(connection);
            connection->deleteLater();
        });
        connect(connection, &RfbServerConnection::exclusiveRequested, this, [this, connection]() {
            for (const QPointer<RfbServerConnection> &other : std::as_const(connections))
                if (other && other != connection)
                    other->close();
        });
    }
}

void RfbServer::dropAll()
{
    for (const QPointer<RfbServerConnection> &connection : std::as_const(connections))
        if (connection)
            connection->close();
}
