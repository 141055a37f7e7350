#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpServer>

class DemoPanel;
class RfbServerConnection;

// What the connections of a server have sent, for the cost figures of the demo.
struct RfbServerStats
{
    quint64 updates = 0;
    quint64 rectangles = 0;
    quint64 copyRects = 0;
    quint64 pixels = 0;
    quint64 bytes = 0;
};

// Serves one DemoPanel over RFB on one TCP port, to any number of clients at once.
// maxMinor 3 makes a panel that speaks only RFB 3.3; a non-empty password asks for VNC
// Authentication. The panel must outlive the server.
class RfbServer : public QObject
{
    Q_OBJECT

public:
    RfbServer(DemoPanel *panel, const QString &password, int maxMinor, QObject *parent = nullptr);

    // port 0 takes any free port; serverPort() then tells which.
    bool listen(const QHostAddress &address, quint16 port);
    quint16 serverPort() const { return tcp.serverPort(); }
    QString errorString() const { return tcp.errorString(); }

    int connectionCount() const { return int(connections.size()); }
    const RfbServerStats &stats() const { return counters; }

private:
    void acceptConnections();
    void dropAll();

    QPointer<DemoPanel> panel;
    QString password;
    int maxMinor;
    QTcpServer tcp;
    QList<QPointer<RfbServerConnection>> connections;
    RfbServerStats counters;
};
