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
#include <QStringList>

class TestCertificate
{
public:
    // An EC P-256 key and a certificate for `commonName` (also its DNS name, with 127.0.0.1 as
    // an IP name, unless `altNames` gives the subjectAltName in openssl's words, e.g.
    // "DNS:*.plant.local,IP:::1", or "none" for a certificate without one), valid from now for
    // `days` days; files <name>.pem and <name>.key.
    bool create(const QString &folder, const QString &commonName, int days = 2,
        const QString &altNames = QString());
    // The same, but valid only in January 2020: expired long ago.
    bool createExpired(const QString &folder, const QString &commonName);

    QString certificatePath() const { return certFile; }
    QString keyPath() const { return keyFile; }
    QSslCertificate certificate() const { return cert; }
    QSslKey key() const { return privateKey; }
    // The SHA-256 of the certificate's DER, as a client pins it.
    QByteArray sha256() const;
    QString errorString() const { return error; }

private:
    bool openssl(const QStringList &arguments);
    bool load();

    QString certFile;
    QString keyFile;
    QSslCertificate cert;
    QSslKey privateKey;
    QString error;
};
