#pragma once

// One demo panel served in process by the demo's RFB server on a free loopback port:
//
//        ServedPanel served(8, "demo");                 // RFB 3.8, VNC Authentication
//        QVERIFY(served.listening);
//        served.server.setTls(RfbServerTls{cert.certificate(), cert.key()});  // VeNCrypt only
//        client.connectToPanel("127.0.0.1", served.server.serverPort(), "demo");
//
//        TlsServedPanel tls("demo");                    // VeNCrypt alone, X509Vnc
//        QVERIFY2(tls.ready, qPrintable(tls.errorString()));
//        client.setTrustedCertificate(tls.certificate.sha256());
//
// Part of the pelorin_testsupport library, which every test links.

#include "demopanel.h"
#include "rfbserver.h"
#include "testcertificate.h"

#include <QSize>
#include <QString>
#include <QTemporaryDir>

struct ServedPanel
{
    explicit ServedPanel(int maxMinor = 8, const QString &password = {}, QSize size = { 800, 480 },
        QSize other = { 1024, 600 });

    DemoPanel panel;
    RfbServer server;
    bool listening = false;
};

// A served panel that offers VeNCrypt alone, presenting a certificate made for it in a folder of
// its own ("localhost", also valid for 127.0.0.1: see TestCertificate::create).
struct TlsServedPanel : ServedPanel
{
    explicit TlsServedPanel(const QString &password = {});
    QString errorString() const;

    QTemporaryDir folder;
    TestCertificate certificate;
    bool ready = false;
};
