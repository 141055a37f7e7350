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

// Serves one DemoPanel over RFB on one TCP port, to up to maxConnections clients at once.
// maxMinor 3 makes a panel that speaks only RFB 3.3; a non-empty password asks for VNC
// Authentication. The panel must outlive the server.
class RfbServer : public QObject
{
    Q_OBJECT

public:
    // Viewers of one panel at once; more are closed as soon as they connect.
    static constexpr int maxConnections = 16;

    RfbServer(DemoPanel *panel, const QString &password, int maxMinor, QObject *parent = nullptr);

    // port 0 takes any free port; serverPort() then tells which.
    bool listen(const QHostAddress &address, quint16 port);
    quint16 serverPort() const { return tcp.serverPort(); }
    QString errorString() const { return tcp.errorString(); }

    // Each connection's output at most kbps kilobits per second, like a slow link (0: no limit).
    void setLinkKbps(int kbps);

    int connectionCount() const { return int(connections.size()); }
    const RfbServerStats &stats() const { return counters; }

private:
    void acceptConnections();
    // Closes every connection but keep (null: all).
    void closeAllBut(const RfbServerConnection *keep);

    QPointer<DemoPanel> panel;
    QString password;
    int maxMinor;
    int linkKbps = 0;
    QTcpServer tcp;
    QList<QPointer<RfbServerConnection>> connections;
    RfbServerStats counters;
};
