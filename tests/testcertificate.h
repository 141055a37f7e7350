#pragma once

// A self-signed certificate and its key for TLS tests, made by the openssl command (Debian
// package openssl) in a folder of the caller's:
//
//        TestCertificate cert;
//        QVERIFY2(cert.create(dir.path(), "panel"), qPrintable(cert.errorString()));
//        server.setLocalCertificate(cert.certificate()); server.setPrivateKey(cert.key());
//        client.setTrustedCertificate(cert.sha256());
//
// Part of the pelorin_testsupport library, which every test links.

#include <QByteArray>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

class TestCertificate
{
public:
    // An EC P-256 key and a certificate for `commonName` (also its DNS name, with 127.0.0.1 as
    // an IP name), valid from yesterday for `days` days; files <name>.pem and <name>.key.
    bool create(const QString &folder, const QString &commonName, int days = 2);

    QString certificatePath() const { return certFile; }
    QString keyPath() const { return keyFile; }
    QSslCertificate certificate() const { return cert; }
    QSslKey key() const { return privateKey; }
    // The SHA-256 of the certificate's DER, as a client pins it.
    QByteArray sha256() const;
    QString errorString() const { return error; }

private:
    QString certFile;
    QString keyFile;
    QSslCertificate cert;
    QSslKey privateKey;
    QString error;
};
