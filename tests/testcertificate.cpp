#include "testcertificate.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

bool TestCertificate::create(const QString &folder, const QString &commonName, int days)
{
    error.clear();
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty()) {
        error = QStringLiteral("openssl is not installed: the TLS tests need the Debian package "
                               "openssl (scripts/deps.sh installs it)");
        return false;
    }
    certFile = QDir(folder).filePath(commonName + QStringLiteral(".pem"));
    keyFile = QDir(folder).filePath(commonName + QStringLiteral(".key"));
    QProcess maker;
    maker.setProcessChannelMode(QProcess::MergedChannels);
    maker.start(openssl,
                {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                 QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                 QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                 QStringLiteral("-keyout"), keyFile, QStringLiteral("-out"), certFile,
                 QStringLiteral("-days"), QString::number(days), QStringLiteral("-subj"),
                 QStringLiteral("/CN=") + commonName, QStringLiteral("-addext"),
                 QStringLiteral("subjectAltName=DNS:%1,IP:127.0.0.1").arg(commonName)});
    if (!maker.waitForFinished(30000) || maker.exitStatus() != QProcess::NormalExit
        || maker.exitCode() != 0) {
        error = QStringLiteral("openssl req failed: ") + QString::fromLocal8Bit(maker.readAll());
        return false;
    }
    QFile certIn(certFile);
    QFile keyIn(keyFile);
    if (!certIn.open(QIODevice::ReadOnly) || !keyIn.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read what openssl wrote");
        return false;
    }
    cert = QSslCertificate(&certIn, QSsl::Pem);
    privateKey = QSslKey(&keyIn, QSsl::Ec, QSsl::Pem);
    if (cert.isNull() || privateKey.isNull()) {
        error = QStringLiteral("openssl wrote a certificate or key that Qt cannot read");
        return false;
    }
    return true;
}

QByteArray TestCertificate::sha256() const
{
    return cert.isNull() ? QByteArray() : cert.digest(QCryptographicHash::Sha256);
}
