#include "testcertificate.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

bool TestCertificate::create(
    const QString &folder, const QString &commonName, int days, const QString &altNames)
{
    error.clear();
    certFile = QDir(folder).filePath(commonName + QStringLiteral(".pem"));
    keyFile = QDir(folder).filePath(commonName + QStringLiteral(".key"));
    QStringList arguments { QStringLiteral("req"), QStringLiteral("-x509"),
        QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
        QStringLiteral("-keyout"), keyFile, QStringLiteral("-out"), certFile,
        QStringLiteral("-days"), QString::number(days), QStringLiteral("-subj"),
        QStringLiteral("/CN=") + commonName };
    if (altNames != QLatin1String("none"))
        arguments << QStringLiteral("-addext")
                  << QStringLiteral("subjectAltName=")
                + (altNames.isEmpty() ? QStringLiteral("DNS:%1,IP:127.0.0.1").arg(commonName)
                                      : altNames);
    return openssl(arguments) && load();
}

bool TestCertificate::createExpired(const QString &folder, const QString &commonName)
{
    error.clear();
    const QDir dir(folder);
    certFile = dir.filePath(commonName + QStringLiteral(".pem"));
    keyFile = dir.filePath(commonName + QStringLiteral(".key"));
    const QString request = dir.filePath(commonName + QStringLiteral(".csr"));
    // "openssl req" dates a certificate from now; "openssl ca" takes any dates, with a
    // database of its own.
    const QString database = dir.filePath(commonName + QStringLiteral("-ca"));
    const QString config = dir.filePath(commonName + QStringLiteral("-ca.cnf"));
    QFile configFile(config);
    if (!dir.mkpath(database) || !configFile.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("cannot write the openssl ca files");
        return false;
    }
    configFile.write(QStringLiteral("[ca]\ndefault_ca = d\n[d]\ndatabase = %1/index.txt\n"
                                    "new_certs_dir = %1\nserial = %1/serial\ndefault_md = sha256\n"
                                    "policy = p\ncopy_extensions = copy\nunique_subject = no\n"
                                    "[p]\ncommonName = supplied\n")
                         .arg(database)
                         .toUtf8());
    configFile.close();
    QFile index(database + QStringLiteral("/index.txt"));
    QFile serial(database + QStringLiteral("/serial"));
    if (!index.open(QIODevice::WriteOnly) || !serial.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("cannot write the openssl ca database");
        return false;
    }
    serial.write("01\n");
    index.close();
    serial.close();
    return openssl({ QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-newkey"),
               QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
               QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
               QStringLiteral("-keyout"), keyFile, QStringLiteral("-out"), request,
               QStringLiteral("-subj"), QStringLiteral("/CN=") + commonName,
               QStringLiteral("-addext"),
               QStringLiteral("subjectAltName=DNS:%1,IP:127.0.0.1").arg(commonName) })
        && openssl({ QStringLiteral("ca"), QStringLiteral("-batch"), QStringLiteral("-config"),
            config, QStringLiteral("-selfsign"), QStringLiteral("-keyfile"), keyFile,
            QStringLiteral("-in"), request, QStringLiteral("-out"), certFile,
            QStringLiteral("-notext"), QStringLiteral("-startdate"),
            QStringLiteral("20200101000000Z"), QStringLiteral("-enddate"),
            QStringLiteral("20200201000000Z") })
        && load();
}

bool TestCertificate::openssl(const QStringList &arguments)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (program.isEmpty()) {
        error = QStringLiteral("openssl is not installed: the TLS tests need the Debian package "
                               "openssl (scripts/deps.sh installs it)");
        return false;
    }
    QProcess maker;
    maker.setProcessChannelMode(QProcess::MergedChannels);
    maker.start(program, arguments);
    if (!maker.waitForFinished(30000) || maker.exitStatus() != QProcess::NormalExit
        || maker.exitCode() != 0) {
        error = QStringLiteral("openssl %1 failed: %2")
                    .arg(arguments.value(0), QString::fromLocal8Bit(maker.readAll()));
        return false;
    }
    return true;
}

bool TestCertificate::load()
{
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
