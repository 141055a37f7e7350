#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTcpServer>

#include <optional>

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

// VeNCrypt over TLS in place of the plain security types. Which subtypes a panel offers follows
// its password: X509Vnc or X509None with a certificate and its key, TLSVnc or TLSNone when
// anonymous (anonymous Diffie-Hellman suites, which only the OpenSSL backend has).
struct RfbServerTls
{
    enum Subtype : quint32 { TlsNone = 257, TlsVnc = 258, X509None = 260, X509Vnc = 261 };

    QSslCertificate certificate; // null: no X509 subtypes
    QSslKey key;
    bool anonymous = false;

    // The VeNCrypt subtypes offered, X509 first; empty when nothing can be offered here.
    QList<quint32> subtypes(bool password) const;
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
    quint16 serverPort() const;
    QString errorString() const;

    // Each connection's output at most kbps kilobits per second, like a slow link (0: no limit).
    void setLinkKbps(int kbps);
    // From the next connection on, security type 19 (VeNCrypt) alone; std::nullopt: the plain
    // types again. False, changing nothing, when none of tls's subtypes can be offered.
    bool setTls(const std::optional<RfbServerTls> &tls);

    int connectionCount() const { return int(connections.size()); }
    const RfbServerStats &stats() const { return counters; }

private:
    class Listener;

    void acceptConnections();
    // Closes every connection but keep (null: all).
    void closeAllBut(const RfbServerConnection *keep);

    QPointer<DemoPanel> panel;
    QString password;
    int maxMinor;
    int linkKbps = 0;
    std::optional<RfbServerTls> tls;
    Listener *tcp;
    QList<QPointer<RfbServerConnection>> connections;
    RfbServerStats counters;
};
