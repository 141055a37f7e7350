// Encrypted sessions: VeNCrypt over TLS against a scripted server whose every byte a row chooses,
// and against TigerVNC's Xvnc with a self-signed certificate, directly and through a recording
// proxy.
#include "rfbclient.h"
#include "rfbtestserver.h"
#include "securitychoice.h"
#include "testcertificate.h"
#include "xvncserver.h"

#include <QPointer>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace rfbwire;

namespace {

const QString password = QStringLiteral("Kennwort-Ω7");
const QString declinedText = QStringLiteral("Панель отклонила шифрованное соединение.");
const QString noEncryptionText = QStringLiteral("Панель не предлагает шифрованное соединение.");
const QString noSubtypeText = QStringLiteral("Панель не предлагает подходящий способ шифрования.");
const QString changedText = QStringLiteral("Сертификат панели изменился с прошлого подключения. "
                                           "Возможно, соединение перехвачено.");
const QString userNameText = QStringLiteral("Панель требует имя пользователя.");
const QString tlsFailedPrefix = QStringLiteral("Не удалось установить шифрованное соединение: ");
const QString badReplyText = QStringLiteral("Некорректный ответ сервера");
const QString closedText = QStringLiteral("Соединение закрыто сервером");
const QString unsupportedText
    = QStringLiteral("Способ защиты соединения на этой панели не поддерживается.");
const QString rejectedText
    = QStringLiteral("Сервер отклонил авторизацию. Проверьте пароль и права доступа.");
const QByteArray challenge = QByteArray::fromHex("00112233445566778899aabbccddeeff");

QByteArray u32s(const QList<quint32> &values)
{
    QByteArray bytes;
    for (const quint32 v : values)
        bytes += u32(v);
    return bytes;
}

// ---------------------------------------------------------------- a scripted VeNCrypt server

enum class Tls { WithCertificate, Anonymous, NoSharedCipher };

struct Step
{
    enum Kind { Send, Expect, StartTls, Close } kind;
    QByteArray bytes;
    int count = 0;
    Tls tls = Tls::WithCertificate;
};
using Script = QList<Step>;

Step send(const QByteArray &bytes)
{
    return {Step::Send, bytes};
}
Step expect(int count)
{
    return {Step::Expect, {}, count};
}
Step startTls(Tls tls = Tls::WithCertificate)
{
    return {Step::StartTls, {}, 0, tls};
}
Step closeConnection()
{
    return {Step::Close, {}};
}

// Version, the type list, the client's choice.
Script hello(const QList<quint8> &types, int minor = 8)
{
    return {send(version(minor)), expect(12), send(securityTypes(types)), expect(1)};
}
// VeNCrypt 0.2 up to the client's subtype.
Script veNCrypt(const QList<quint32> &subtypes)
{
    return {send(QByteArray::fromHex("0002")), expect(2),
            send(u8(0) + u8(quint8(subtypes.size())) + u32s(subtypes)), expect(4)};
}
Script goAhead(Tls tls = Tls::WithCertificate)
{
    return {send(u8(1)), startTls(tls)};
}
// SecurityResult OK, the ClientInit, a ServerInit.
Script session()
{
    return {send(u32(0)), expect(1), send(serverInit(320, 200, "tls-panel"))};
}
Script vncInner()
{
    return Script{send(challenge), expect(16)} + session();
}

// Plays a script to one client; bytes are recorded apart before and after the TLS handshake.
class ScriptedTlsServer : public QTcpServer
{
public:
    ScriptedTlsServer(const TestCertificate &cert, Script script)
        : cert(cert), script(std::move(script))
    {
    }

    QByteArray clear; // received before TLS
    QByteArray secret; // received through TLS
    bool tlsDone = false;
    QPointer<QSslSocket> peer;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        peer = socket;
        connect(socket, &QSslSocket::readyRead, this, [this]() {
            (tlsStarted ? secret : clear) += peer->readAll();
            advance();
        });
        connect(socket, &QSslSocket::encrypted, this, [this]() {
            tlsDone = true;
            advance();
        });
        connect(socket, &QSslSocket::sslErrors, socket, [socket]() { socket->ignoreSslErrors(); });
        advance();
    }

private:
    void advance()
    {
        while (peer && at < script.size()) {
            const Step &step = script.at(at);
            if (tlsStarted && !tlsDone)
                return;
            switch (step.kind) {
            case Step::Send:
                peer->write(step.bytes);
                break;
            case Step::Expect: {
                const QByteArray &got = tlsStarted ? secret : clear;
                if (got.size() < consumed + step.count)
                    return;
                consumed += step.count;
                break;
            }
            case Step::StartTls: {
                QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
                tls.setPeerVerifyMode(QSslSocket::VerifyNone);
                if (step.tls == Tls::WithCertificate) {
                    tls.setLocalCertificate(cert.certificate());
                    tls.setPrivateKey(cert.key());
                } else {
                    tls.setProtocol(QSsl::TlsV1_2);
                    tls.setBackendConfigurationOption("CipherString", "aNULL:@SECLEVEL=0");
                }
                peer->setSslConfiguration(tls);
                tlsStarted = true;
                consumed = 0;
                ++at;
                peer->startServerEncryption();
                continue;
            }
            case Step::Close:
                peer->disconnectFromHost();
                break;
            }
            ++at;
        }
    }

    const TestCertificate &cert;
    Script script;
    int at = 0;
    qsizetype consumed = 0;
    bool tlsStarted = false;
};

// ---------------------------------------------------------------- a recording proxy

// Passes one connection on to the real server and keeps both directions.
class RecordingProxy : public QObject
{
public:
    explicit RecordingProxy(quint16 upstreamPort) : upstreamPort(upstreamPort)
    {
        listener.listen(QHostAddress::LocalHost, 0);
        connect(&listener, &QTcpServer::newConnection, this, [this]() {
            downstream = listener.nextPendingConnection();
            upstream = new QTcpSocket(this);
            connect(downstream, &QTcpSocket::readyRead, this, [this]() {
                const QByteArray bytes = downstream->readAll();
                toServer += bytes;
                upstream->write(bytes);
            });
            connect(upstream, &QTcpSocket::readyRead, this, [this]() {
                const QByteArray bytes = upstream->readAll();
                toClient += bytes;
                downstream->write(bytes);
            });
            upstream->connectToHost(QHostAddress::LocalHost, this->upstreamPort);
        });
    }
    quint16 port() const { return listener.serverPort(); }

    QByteArray toServer;
    QByteArray toClient;

private:
    QTcpServer listener;
    quint16 upstreamPort;
    QPointer<QTcpSocket> downstream;
    QPointer<QTcpSocket> upstream;
};

// True when `bytes` from `from` on is nothing but whole TLS records (a record may still be
// arriving at the end); `applicationRecords` counts the application-data ones.
bool onlyTlsRecords(const QByteArray &bytes, qsizetype from, int *applicationRecords = nullptr)
{
    int application = 0;
    qsizetype pos = from;
    while (pos + 5 <= bytes.size()) {
        const quint8 type = quint8(bytes.at(pos));
        if (type < 20 || type > 23 || bytes.at(pos + 1) != 3)
            return false;
        const int length = (quint8(bytes.at(pos + 3)) << 8) | quint8(bytes.at(pos + 4));
        if (length > 16384 + 2048)
            return false;
        application += type == 23;
        pos += 5 + length;
    }
    if (applicationRecords)
        *applicationRecords = application;
    return pos >= from;
}

enum class Pin { None, Right, Wrong };

} // namespace

Q_DECLARE_METATYPE(Step)

class TestEncryption : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void choice_data();
    void choice();
    void scripted_data();
    void scripted();
    void certificateQuestion();
    void xvnc_data();
    void xvnc();
    void xvncThroughRecordingProxy();

private:
    QTemporaryDir dir;
    TestCertificate cert;
    TestCertificate otherCert;
};

void TestEncryption::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(cert.create(dir.path(), QStringLiteral("localhost")), qPrintable(cert.errorString()));
    QVERIFY2(otherCert.create(dir.path(), QStringLiteral("impostor")),
             qPrintable(otherCert.errorString()));
    QVERIFY2(QSslSocket::supportsSsl(), "Qt's TLS backend is missing");
}

// The decisions alone, as one table: which type from a list, which subtype from VeNCrypt's.
void TestEncryption::choice_data()
{
    QTest::addColumn<QString>("policy"); // letters: e encrypt, r require, p pinned, u user, a anon
    QTest::addColumn<QByteArray>("types"); // empty: the row is about the subtype list
    QTest::addColumn<QList<quint32>>("subtypes");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<quint32>("chosen");

    using O = SecurityChoice::Outcome;
    const auto row = [](const char *name, const char *policy, QByteArray types,
                        QList<quint32> subtypes, O outcome, quint32 chosen) {
        QTest::newRow(name) << QString::fromLatin1(policy) << types << subtypes << int(outcome)
                            << chosen;
    };
    const QByteArray plainTypes("\x01\x02", 2);
    row("off ignores 19", "", QByteArray("\x13\x02", 2), {}, O::Chosen, 2);
    row("off, only 19", "", QByteArray("\x13"), {}, O::Unsupported, 0);
    row("preferred takes 19", "e", QByteArray("\x02\x13", 2), {}, O::Chosen, 19);
    row("preferred without 19", "e", plainTypes, {}, O::Chosen, 2);
    row("required without 19", "er", plainTypes, {}, O::NotEncrypted, 0);
    row("pinned without 19", "ep", QByteArray("\x01"), {}, O::NotEncrypted, 0);
    row("X509Vnc first", "eua", {}, {257, 258, 260, 262, 261}, O::Chosen, 261);
    row("X509Plain before X509None", "eua", {}, {257, 260, 262}, O::Chosen, 262);
    row("X509Plain skipped without a user", "ea", {}, {262, 260}, O::Chosen, 260);
    row("only X509Plain, no user", "ea", {}, {262}, O::NeedsUserName, 0);
    row("anonymous after X509", "ea", {}, {257, 258}, O::Chosen, 258);
    row("anonymous needs the backend", "e", {}, {257, 258}, O::NoUsableSubtype, 0);
    row("anonymous under required", "era", {}, {257}, O::Chosen, 257);
    row("pinned: no anonymous", "epa", {}, {258, 257}, O::NoUsableSubtype, 0);
    row("never Plain or TLSPlain", "eua", {}, {256, 259}, O::NoUsableSubtype, 0);
    row("preferred falls back to 2", "e", {}, {259, 1, 2}, O::Chosen, 2);
    row("preferred falls back to 1", "e", {}, {1}, O::Chosen, 1);
    row("required: no 1 or 2", "era", {}, {1, 2}, O::NoUsableSubtype, 0);
    row("pinned: no 1 or 2", "epa", {}, {2}, O::NoUsableSubtype, 0);
    row("unknown subtypes only", "ea", {}, {999, 70000}, O::NoUsableSubtype, 0);
}

void TestEncryption::choice()
{
    QFETCH(QString, policy);
    QFETCH(QByteArray, types);
    QFETCH(QList<quint32>, subtypes);
    QFETCH(int, outcome);
    QFETCH(quint32, chosen);

    SecurityChoice::Policy p;
    p.encrypt = policy.contains(QLatin1Char('e'));
    p.require = policy.contains(QLatin1Char('r'));
    p.pinned = policy.contains(QLatin1Char('p'));
    p.userName = policy.contains(QLatin1Char('u'));
    p.anonymousTls = policy.contains(QLatin1Char('a'));
    const SecurityChoice::Result result = types.isEmpty()
                                              ? SecurityChoice::subtype(p, subtypes)
                                              : SecurityChoice::securityType(p, types);
    QCOMPARE(int(result.outcome), outcome);
    QCOMPARE(result.choice, chosen);
}

// Whole sessions against a scripted server, hostile and well-behaved. Each ends with its text
// and flag, or connects with what the row says, and no password byte goes where it must not.
void TestEncryption::scripted_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("pin");
    QTest::addColumn<QString>("user");
    QTest::addColumn<Script>("script");
    QTest::addColumn<QString>("reason"); // empty: connects
    QTest::addColumn<bool>("retryable");
    QTest::addColumn<QByteArray>("secretStart"); // what the server must receive through TLS
    QTest::addColumn<bool>("authenticated");

    const int off = int(RfbClient::Encryption::Off);
    const int preferred = int(RfbClient::Encryption::Preferred);
    const int required = int(RfbClient::Encryption::Required);
    const int none = int(Pin::None), right = int(Pin::Right), wrong = int(Pin::Wrong);
    const QString noUser;
    const QByteArray nothing;
    const QByteArray vncAnswer = vncResponse(challenge, password);
    const QByteArray plainLogin = u32(5) + u32(quint32(password.toUtf8().size())) + "admin"
                                  + password.toUtf8();

    // Refused before TLS.
    QTest::newRow("bad version") << required << none << noUser
                                 << hello({19}) + Script{send(QByteArray::fromHex("0001"))}
                                 << declinedText << false << nothing << false;
    QTest::newRow("failed ack")
        << required << none << noUser
        << hello({19}) + Script{send(QByteArray::fromHex("0002")), expect(2), send(u8(1))}
        << declinedText << false << nothing << false;
    QTest::newRow("zero count")
        << required << none << noUser
        << hello({19}) + Script{send(QByteArray::fromHex("0002")), expect(2), send(u8(0) + u8(0))}
        << declinedText << false << nothing << false;
    QTest::newRow("only subtypes we never take")
        << required << none << QStringLiteral("admin") << hello({19}) + veNCrypt({256, 259, 999})
        << noSubtypeText << false << nothing << false;
    QTest::newRow("go-ahead other than 1")
        << required << none << noUser << hello({19}) + veNCrypt({261}) + Script{send(u8(2))}
        << declinedText << false << nothing << false;
    QTest::newRow("bytes in clear after the go-ahead")
        << required << right << noUser
        << hello({19}) + veNCrypt({261}) + Script{send(u8(1) + u32(0))} << badReplyText << false
        << nothing << false;
    QTest::newRow("closing after the ack")
        << required << none << noUser
        << hello({19})
               + Script{send(QByteArray::fromHex("0002")), expect(2), send(u8(0)),
                        closeConnection()}
        << closedText << true << nothing << false;
    QTest::newRow("required against 1 and 2") << required << none << noUser << hello({1, 2})
                                              << noEncryptionText << false << nothing << false;
    QTest::newRow("pinned, offered no 19") << preferred << right << noUser << hello({2, 1})
                                           << noEncryptionText << false << nothing << false;
    QTest::newRow("pinned, offered only TLSNone")
        << preferred << right << noUser << hello({19}) + veNCrypt({257}) << noSubtypeText << false
        << nothing << false;
    QTest::newRow("Plain without a user name")
        << preferred << none << noUser << hello({19}) + veNCrypt({262}) << userNameText << false
        << nothing << false;
    QTest::newRow("off: only 19 is not for us") << off << none << noUser << hello({19})
                                                << unsupportedText << false << nothing << false;

    // Refused during or right after the TLS handshake.
    QTest::newRow("TLS handshake failure")
        << required << right << noUser
        << hello({19}) + veNCrypt({260}) + goAhead(Tls::NoSharedCipher) << tlsFailedPrefix
        << false << nothing << false;
    QTest::newRow("pin does not match")
        << required << wrong << noUser << hello({19}) + veNCrypt({261}) + goAhead() + vncInner()
        << changedText << false << nothing << false;
    QTest::newRow("pin does not match, X509Plain")
        << preferred << wrong << QStringLiteral("admin")
        << hello({19}) + veNCrypt({262}) + goAhead() + Script{expect(1)} << changedText << false
        << nothing << false;
    QTest::newRow("rejected inside TLS")
        << required << right << noUser
        << hello({19}) + veNCrypt({261}) + goAhead() + Script{send(challenge), expect(16),
                                                              send(u32(1))}
        << rejectedText << false << vncAnswer << false;

    // Sessions.
    QTest::newRow("X509Vnc, pinned") << required << right << noUser
                                     << hello({2, 19}) + veNCrypt({2, 261}) + goAhead() + vncInner()
                                     << QString() << false << vncAnswer << true;
    QTest::newRow("X509Plain with a user name")
        << required << right << QStringLiteral("admin")
        << hello({19}) + veNCrypt({260, 262}) + goAhead()
               + Script{expect(int(plainLogin.size()))} + session()
        << QString() << false << plainLogin + u8(1) << true;
    QTest::newRow("X509None on 3.7 reads a SecurityResult")
        << required << right << noUser
        << hello({19}, 7) + veNCrypt({260}) + goAhead() + session() << QString() << false
        << u8(1) << true;
    QTest::newRow("X509None on 3.7, result failed")
        << required << right << noUser
        << hello({19}, 7) + veNCrypt({260}) + goAhead() + Script{send(u32(1))} << rejectedText
        << false << nothing << false;
    QTest::newRow("3.3 server choosing VeNCrypt")
        << required << right << noUser
        << Script{send(version(3)), expect(12), send(u32(19))} + veNCrypt({261}) + goAhead()
               + vncInner()
        << QString() << false << vncAnswer << true;
    QTest::newRow("anonymous TLSVnc")
        << preferred << none << noUser
        << hello({19}) + veNCrypt({258}) + goAhead(Tls::Anonymous) + vncInner() << QString()
        << false << vncAnswer << false;
    QTest::newRow("anonymous TLSNone under required")
        << required << none << noUser
        << hello({19}) + veNCrypt({257}) + goAhead(Tls::Anonymous) + session() << QString()
        << false << u8(1) << false;
}

void TestEncryption::scripted()
{
    QFETCH(int, mode);
    QFETCH(int, pin);
    QFETCH(QString, user);
    QFETCH(Script, script);
    QFETCH(QString, reason);
    QFETCH(bool, retryable);
    QFETCH(QByteArray, secretStart);
    QFETCH(bool, authenticated);

    ScriptedTlsServer server(cert, script);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    RfbClient client;
    client.setEncryption(RfbClient::Encryption(mode));
    if (pin != int(Pin::None))
        client.setTrustedCertificate(pin == int(Pin::Right) ? cert.sha256() : otherCert.sha256());
    client.setUserName(user);
    QSignalSpy ended(&client, &RfbClient::ended);
    QSignalSpy connected(&client, &RfbClient::connected);
    QSignalSpy unknown(&client, &RfbClient::certificateUnknown);
    client.connectToPanel(QStringLiteral("localhost"), server.serverPort(), password);
    QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty() || !connected.isEmpty(), 20000);

    if (reason.isEmpty()) {
        QVERIFY2(ended.isEmpty(), qPrintable(ended.value(0).value(0).toString()));
        QVERIFY(client.isEncrypted());
        QCOMPARE(client.isAuthenticated(), authenticated);
        QCOMPARE(client.framebuffer().size(), QSize(320, 200));
        QVERIFY(client.encryptionDescription().startsWith(QStringLiteral("TLS 1.")));
        QCOMPARE(client.peerCertificate().isNull(), !authenticated);
    } else {
        QCOMPARE(ended.count(), 1);
        QVERIFY2(ended.at(0).at(0).toString().startsWith(reason),
                 qPrintable(ended.at(0).at(0).toString()));
        QCOMPARE(ended.at(0).at(0).toString() == reason, reason != tlsFailedPrefix);
        QCOMPARE(client.retryable(), retryable);
        QVERIFY(!client.isEncrypted());
        QCOMPARE(client.passwordBytesForTest(), 0);
    }
    QCOMPARE(unknown.count(), 0);
    QCOMPARE(client.needsUserName(), reason == userNameText);
    QCOMPARE(client.presentedCertificateSha256(),
             reason == changedText ? cert.sha256() : QByteArray());
    if (!reason.isEmpty())
        QCOMPARE(client.offeredSecurityTypes().isEmpty(), false);

    // What went through TLS is exactly what the row allows; in clear, nothing of the password.
    QTRY_VERIFY(server.secret.size() >= secretStart.size());
    QVERIFY2(server.secret.startsWith(secretStart), server.secret.toHex().constData());
    if (secretStart.isEmpty())
        QCOMPARE(server.secret, QByteArray());
    QVERIFY(!server.clear.contains(password.toUtf8()));
    QVERIFY(!server.clear.contains(vncResponse(challenge, password)));
    QVERIFY(!server.clear.contains("Kennwort"));
}

// An unpinned certificate the system does not trust: the handshake waits for the operator, the
// response timer with it, and only the certificate shown can be accepted.
void TestEncryption::certificateQuestion()
{
    for (const bool accept : {true, false}) {
        ScriptedTlsServer server(cert, hello({19}) + veNCrypt({261}) + goAhead() + vncInner());
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        RfbClient client;
        client.setEncryption(RfbClient::Encryption::Required);
        QSignalSpy ended(&client, &RfbClient::ended);
        QSignalSpy connected(&client, &RfbClient::connected);
        QSignalSpy unknown(&client, &RfbClient::certificateUnknown);
        client.connectToPanel(QStringLiteral("localhost"), server.serverPort(), password);
        QTRY_COMPARE_WITH_TIMEOUT(unknown.count(), 1, 20000);
        QCOMPARE(unknown.at(0).at(0).value<QSslCertificate>(), cert.certificate());
        QVERIFY(client.awaitingCertificateForTest());
        QVERIFY(!client.responseTimerForTest()->isActive());
        // Another certificate's fingerprint, or none, changes nothing.
        client.acceptCertificate(otherCert.sha256());
        client.acceptCertificate(QByteArray());
        QVERIFY(client.awaitingCertificateForTest());
        QTest::qWait(50); // a paused handshake stays paused
        QCOMPARE(server.secret, QByteArray());
        QCOMPARE(connected.count(), 0);

        if (accept) {
            client.acceptCertificate(cert.sha256());
            QVERIFY(client.responseTimerForTest()->isActive());
            QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 20000);
            QVERIFY(client.isEncrypted());
            QVERIFY(client.isAuthenticated());
            QVERIFY(server.secret.startsWith(vncResponse(challenge, password)));
            QVERIFY(client.encryptionDescription().contains(
                RfbClient::groupedFingerprint(cert.sha256())));
        } else {
            client.disconnectFromPanel();
            client.acceptCertificate(cert.sha256()); // too late: ignored
            QCOMPARE(client.stateForTest(), RfbClient::Idle);
            QVERIFY(!client.responseTimerForTest()->isActive());
            QTRY_VERIFY(server.peer.isNull() || server.peer->state() != QAbstractSocket::ConnectedState);
        }
        QCOMPARE(ended.count(), 0);
        QCOMPARE(unknown.count(), 1);
        QVERIFY(!server.clear.contains(vncResponse(challenge, password)));
    }
}

// Xvnc with the test certificate: each encrypted session's pixels equal a plain session's of the
// same server, and the pin decides.
void TestEncryption::xvnc_data()
{
    QTest::addColumn<QString>("types");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("pin");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("authenticated");

    const int preferred = int(RfbClient::Encryption::Preferred);
    const int required = int(RfbClient::Encryption::Required);
    QTest::newRow("X509Vnc, pin matches")
        << "X509Vnc,VncAuth" << preferred << int(Pin::Right) << QString() << true;
    QTest::newRow("X509None, pin matches")
        << "X509None,VncAuth" << required << int(Pin::Right) << QString() << true;
    QTest::newRow("TLSVnc, anonymous")
        << "TLSVnc,VncAuth" << required << int(Pin::None) << QString() << false;
    QTest::newRow("X509Vnc, pin does not match")
        << "X509Vnc,VncAuth" << preferred << int(Pin::Wrong) << changedText << false;
    QTest::newRow("required, VNC Authentication only")
        << "VncAuth" << required << int(Pin::None) << noEncryptionText << false;
    QTest::newRow("pinned, VNC Authentication only")
        << "VncAuth" << preferred << int(Pin::Right) << noEncryptionText << false;
}

void TestEncryption::xvnc()
{
    XVNC_NEEDED();
    QFETCH(QString, types);
    QFETCH(int, mode);
    QFETCH(int, pin);
    QFETCH(QString, reason);
    QFETCH(bool, authenticated);

    XvncServer xvnc;
    xvnc.setSecurityArguments({QStringLiteral("-SecurityTypes"), types,
                               QStringLiteral("-X509Cert"), cert.certificatePath(),
                               QStringLiteral("-X509Key"), cert.keyPath()});
    QVERIFY2(xvnc.start(QSize(640, 400), password), qPrintable(xvnc.errorString()));
    QVERIFY2(xvnc.run(QStringLiteral("xsetroot"), {QStringLiteral("-solid"), QStringLiteral("#2a6041")}),
             qPrintable(xvnc.errorString()));

    RfbClient tls;
    tls.setEncryption(RfbClient::Encryption(mode));
    if (pin != int(Pin::None))
        tls.setTrustedCertificate(pin == int(Pin::Right) ? cert.sha256() : otherCert.sha256());
    QSignalSpy ended(&tls, &RfbClient::ended);
    QSignalSpy frames(&tls, &RfbClient::frameChanged);
    tls.connectToPanel(QStringLiteral("127.0.0.1"), xvnc.port(), password);
    QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty() || frames.count() >= 2, 20000);
    if (!reason.isEmpty()) {
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.at(0).at(0).toString(), reason);
        QVERIFY(!tls.retryable());
        return;
    }
    QVERIFY2(ended.isEmpty(), qPrintable(ended.value(0).value(0).toString()));
    QVERIFY(tls.isEncrypted());
    QCOMPARE(tls.isAuthenticated(), authenticated);

    RfbClient plain;
    QSignalSpy plainFrames(&plain, &RfbClient::frameChanged);
    plain.connectToPanel(QStringLiteral("127.0.0.1"), xvnc.port(), password);
    QTRY_VERIFY_WITH_TIMEOUT(plainFrames.count() >= 2, 20000);
    QVERIFY(!plain.isEncrypted());
    // Both follow the same screen; the updates after the first may still be on their way.
    QTRY_VERIFY_WITH_TIMEOUT(tls.framebuffer() == plain.framebuffer(), 10000);
    QCOMPARE(tls.framebuffer().pixel(320, 10), qRgb(0x2a, 0x60, 0x41));
}

// What a listener in the path sees: after the go-ahead only TLS records, either way.
void TestEncryption::xvncThroughRecordingProxy()
{
    XVNC_NEEDED();
    XvncServer xvnc;
    xvnc.setSecurityArguments({QStringLiteral("-SecurityTypes"), QStringLiteral("X509Vnc"),
                               QStringLiteral("-X509Cert"), cert.certificatePath(),
                               QStringLiteral("-X509Key"), cert.keyPath()});
    QVERIFY2(xvnc.start(QSize(640, 400), password), qPrintable(xvnc.errorString()));
    QVERIFY2(xvnc.run(QStringLiteral("xsetroot"), {QStringLiteral("-solid"), QStringLiteral("#7a3010")}),
             qPrintable(xvnc.errorString()));

    for (const bool pinMatches : {true, false}) {
        RecordingProxy proxy(xvnc.port());
        RfbClient client;
        client.setEncryption(RfbClient::Encryption::Required);
        client.setTrustedCertificate(pinMatches ? cert.sha256() : otherCert.sha256());
        QSignalSpy ended(&client, &RfbClient::ended);
        QSignalSpy frames(&client, &RfbClient::frameChanged);
        client.connectToPanel(QStringLiteral("127.0.0.1"), proxy.port(), password);
        if (pinMatches) {
            QTRY_VERIFY_WITH_TIMEOUT(client.isLive() && frames.count() >= 2, 20000);
            QTRY_COMPARE_WITH_TIMEOUT(client.framebuffer().pixel(10, 10), qRgb(0x7a, 0x30, 0x10),
                                      10000);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 20000);
            QCOMPARE(ended.at(0).at(0).toString(), changedText);
        }

        // Server to client: version, type list, VeNCrypt version, ack, subtypes, go-ahead.
        const QByteArray &down = proxy.toClient;
        QVERIFY(down.size() > 14);
        const qsizetype typeCount = quint8(down.at(12));
        const qsizetype subtypeCountAt = 12 + 1 + typeCount + 2 + 1;
        QVERIFY(down.size() > subtypeCountAt);
        const qsizetype goAt = subtypeCountAt + 1 + 4 * quint8(down.at(subtypeCountAt));
        QCOMPARE(down.at(goAt), char(1));
        QVERIFY(onlyTlsRecords(down, goAt + 1));
        // Client to server: version, type 19, VeNCrypt 0.2, the subtype; then TLS alone.
        const QByteArray &up = proxy.toServer;
        QCOMPARE(up.left(19), QByteArray("RFB 003.008\n") + u8(19) + QByteArray::fromHex("0002")
                                  + u32(261));
        int application = 0;
        QVERIFY(onlyTlsRecords(up, 19, &application));
        // A refused certificate: not one byte of application data (the password) went out.
        QCOMPARE(application == 0, !pinMatches);
        QVERIFY(!up.contains(password.toUtf8()));
        client.disconnectFromPanel();
    }
}

QTEST_MAIN(TestEncryption)
#include "tst_encryption.moc"
