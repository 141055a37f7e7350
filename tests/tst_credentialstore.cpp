// The credential store against a real Secret Service: the throw-away
// gnome-keyring of the private D-Bus session that the test command starts.
// The cases with a store that cannot be read run in a child process of this
// test with its own environment, so the library state of this process is untouched.
#include "credentialstore.h"

#include <QElapsedTimer>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {

const char *const kChildVariable = "PELORIN_CREDENTIAL_CHILD";

// Child mode: read, write and delete once each, report results and times.
int runChild()
{
    PanelProfile profile = PanelProfile::createNew();
    profile.password = QStringLiteral("secret");
    QElapsedTimer timer;
    timer.start();
    CredentialStore::ReadResult result = CredentialStore::ReadResult::Found;
    const QString read = CredentialStore::readPassword(profile.id, &result);
    const qint64 readMs = timer.restart();
    const bool written = CredentialStore::writePassword(profile);
    const qint64 writeMs = timer.restart();
    CredentialStore::deletePassword(profile);
    const qint64 deleteMs = timer.elapsed();
    std::printf("read=[%s] failed=%d write=%d ms=%lld,%lld,%lld\n", qUtf8Printable(read),
                result == CredentialStore::ReadResult::Failed ? 1 : 0, written ? 1 : 0,
                static_cast<long long>(readMs), static_cast<long long>(writeMs),
                static_cast<long long>(deleteMs));
    return 0;
}

// Whether `name` has an owner on the bus at `address`, as an outside client sees it.
bool nameOwned(const QString &address, const QString &name)
{
    QProcess send;
    send.start(QStringLiteral("dbus-send"),
        { "--bus=" + address, "--print-reply", "--dest=org.freedesktop.DBus", "/",
            "org.freedesktop.DBus.NameHasOwner", "string:" + name });
    return send.waitForFinished(5000) && send.readAllStandardOutput().contains("boolean true");
}

} // namespace

// Completes the D-Bus authentication as a bus daemon would, then never answers
// a message: a bus that has stopped working.
class FrozenBus : public QObject
{
    Q_OBJECT

public:
    bool listen(const QString &path)
    {
        connect(&server, &QLocalServer::newConnection, this, &FrozenBus::accept);
        return server.listen(path);
    }
    QString path() const { return server.fullServerName(); }
    int authenticated = 0;

private:
    void accept()
    {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QLocalSocket::readyRead, socket,
                    [this, socket] { handshake(socket); });
        }
    }

    void handshake(QLocalSocket *socket)
    {
        QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
        if (socket->property("begun").toBool())
            return;
        if (buffer.startsWith('\0'))
            buffer.remove(0, 1);
        for (qsizetype end = buffer.indexOf("\r\n"); end >= 0; end = buffer.indexOf("\r\n")) {
            const QByteArray line = buffer.left(end);
            buffer.remove(0, end + 2);
            if (line == "AUTH")
                socket->write("REJECTED EXTERNAL\r\n");
            else if (line == "AUTH EXTERNAL")
                socket->write("DATA\r\n");
            else if (line.startsWith("AUTH EXTERNAL ") || line.startsWith("DATA"))
                socket->write("OK 0123456789abcdef0123456789abcdef\r\n");
            else if (line == "NEGOTIATE_UNIX_FD")
                socket->write("AGREE_UNIX_FD\r\n");
            else if (line == "BEGIN") {
                socket->setProperty("begun", true);
                ++authenticated;
                return;
            } else
                socket->write("ERROR\r\n");
        }
        socket->setProperty("buffer", buffer);
    }

    QLocalServer server;
};

class TestCredentialStore : public QObject
{
    Q_OBJECT

private:
    QStringList created; // ids whose items are removed again at the end

    QString newId()
    {
        const QString id = PanelProfile::newId();
        created.append(id);
        return id;
    }

    static PanelProfile profile(const QString &id, const QString &password)
    {
        PanelProfile p;
        p.id = id;
        p.host = QStringLiteral("10.0.0.5");
        p.password = password;
        p.remember = true;
        return p;
    }

    // What an independent client sees in the store for one target.
    static QByteArray secretTool(const QStringList &args)
    {
        QProcess tool;
        tool.start(QStringLiteral("secret-tool"), args);
        if (!tool.waitForFinished(10000))
            return "secret-tool did not finish";
        return tool.readAllStandardOutput() + tool.readAllStandardError();
    }

private slots:
    void initTestCase()
    {
        const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        if (address.isEmpty())
            QFAIL("No D-Bus session bus. Run the tests through scripts/test.sh, which starts a "
                  "private session with an unlocked throw-away gnome-keyring.");
        // The login session's bus would mean the developer's own keyring.
        if (address.contains("/run/user/"))
            QFAIL("This looks like the login session's bus; refusing to touch its keyring. Run "
                  "the tests through scripts/test.sh (dbus-run-session with a throw-away "
                  "gnome-keyring).");
        if (QStandardPaths::findExecutable(QStringLiteral("secret-tool")).isEmpty())
            QFAIL("secret-tool is missing (Debian package libsecret-tools, see scripts/deps.sh).");

        const PanelProfile probe = profile(newId(), QStringLiteral("probe"));
        QVERIFY2(CredentialStore::writePassword(probe),
                 "The Secret Service of this session did not store a password. Run the tests "
                 "through scripts/test.sh, which unlocks a throw-away gnome-keyring.");
    }

    void cleanupTestCase()
    {
        for (const QString &id : std::as_const(created))
            CredentialStore::deletePassword(profile(id, QString()));
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("stored"); // the secret as the store holds it
        QTest::newRow("plain") << QStringLiteral("pw123") << QByteArray("pw123");
        QTest::newRow("eight characters") << QStringLiteral("12345678") << QByteArray("12345678");
        QTest::newRow("latin-1 letter") << QStringLiteral("é") << QByteArray("\xc3\xa9");
        QTest::newRow("latin-1 mixed") << QStringLiteral("ÿaß ü")
                                       << QByteArray("\xc3\xbf"
                                                     "a\xc3\x9f \xc3\xbc");
        QTest::newRow("beyond latin-1")
                << QStringLiteral("пароль") << QStringLiteral("пароль").toUtf8();
        QTest::newRow("empty") << QString() << QByteArray();
    }

    void roundTrip()
    {
        QFETCH(QString, password);
        QFETCH(QByteArray, stored);
        const QString id = newId();
        const QString target = CredentialStore::targetName(id);
        QCOMPARE(target, "PelorinVNC/" + id);
        QCOMPARE(target.size(), 47);

        QVERIFY(CredentialStore::writePassword(profile(id, password)));
        QCOMPARE(CredentialStore::readPassword(id), password);

        // Seen from outside: one item, found by its target and user, holding
        // the password as UTF-8 text.
        QCOMPARE(secretTool({"lookup", "target", target, "user", "VNC"}), stored);
        const QByteArray listing = secretTool({"search", "--all", "target", target});
        QCOMPARE(listing.count("attribute.target = " + target.toUtf8()), 1);
        QVERIFY2(listing.contains("attribute.user = VNC"), listing.constData());

        CredentialStore::deletePassword(profile(id, QString()));
        QCOMPARE(CredentialStore::readPassword(id), QString());
        QCOMPARE(secretTool({"lookup", "target", target}), QByteArray());
    }

    void writeReplacesEarlierPassword()
    {
        const QString id = newId();
        QVERIFY(CredentialStore::writePassword(profile(id, QStringLiteral("first"))));
        QVERIFY(CredentialStore::writePassword(profile(id, QStringLiteral("second"))));
        QCOMPARE(CredentialStore::readPassword(id), QStringLiteral("second"));
        const QByteArray listing
                = secretTool({"search", "--all", "target", CredentialStore::targetName(id)});
        QCOMPARE(listing.count("attribute.target = "), 1);
    }

    void idsKeptApart()
    {
        // Same host, different records.
        const PanelProfile a = profile(newId(), QStringLiteral("aaa"));
        const PanelProfile b = profile(newId(), QStringLiteral("bbb"));
        QVERIFY(CredentialStore::writePassword(a));
        QVERIFY(CredentialStore::writePassword(b));
        QCOMPARE(CredentialStore::readPassword(a.id), QStringLiteral("aaa"));
        QCOMPARE(CredentialStore::readPassword(b.id), QStringLiteral("bbb"));
        CredentialStore::deletePassword(a);
        QCOMPARE(CredentialStore::readPassword(a.id), QString());
        QCOMPARE(CredentialStore::readPassword(b.id), QStringLiteral("bbb"));
    }

    void missingPasswords()
    {
        const QString id = newId();
        CredentialStore::ReadResult result = CredentialStore::ReadResult::Failed;
        QCOMPARE(CredentialStore::readPassword(id, &result), QString());
        QCOMPARE(int(result), int(CredentialStore::ReadResult::NotStored));
        // Deleting what was never stored is harmless, twice over.
        CredentialStore::deletePassword(profile(id, QString()));
        CredentialStore::deletePassword(profile(id, QString()));
        QCOMPARE(CredentialStore::readPassword(id), QString());
        // An id that only starts like a stored one finds nothing.
        const PanelProfile stored = profile(newId(), QStringLiteral("x"));
        QVERIFY(CredentialStore::writePassword(stored));
        QCOMPARE(CredentialStore::readPassword(stored.id.left(35)), QString());
    }

    void unreadableStore_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("writes"); // whether the store still takes a password
        QTest::newRow("bus address leads nowhere") << QStringLiteral("nowhere") << false;
        QTest::newRow("no bus address at all") << QStringLiteral("none") << false;
        QTest::newRow("socket that never answers") << QStringLiteral("silent") << false;
        QTest::newRow("bus that stops answering") << QStringLiteral("frozen") << false;
        QTest::newRow("bus without a secret service") << QStringLiteral("bare") << false;
        QTest::newRow("item search answered with an error") << QStringLiteral("refused") << true;
    }

    void unreadableStore()
    {
        QFETCH(QString, setup);
        QFETCH(bool, writes);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildVariable), QStringLiteral("1"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        env.remove(QStringLiteral("DISPLAY"));
        // A call given up on a frozen bus is left behind on purpose; a leak
        // checker must not turn that into a failed child.
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));

        QLocalServer silent;
        FrozenBus frozen;
        QProcess bus;
        QProcess keyring;
        if (setup == QLatin1String("nowhere")) {
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       "unix:path=" + dir.filePath(QStringLiteral("no-bus")));
        } else if (setup == QLatin1String("none")) {
            env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        } else if (setup == QLatin1String("silent")) {
            // Accepts connections (the kernel queues them) but never speaks.
            QVERIFY(silent.listen(dir.filePath(QStringLiteral("silent"))));
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       "unix:path=" + silent.fullServerName());
        } else if (setup == QLatin1String("frozen")) {
            QVERIFY(frozen.listen(dir.filePath(QStringLiteral("frozen"))));
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), "unix:path=" + frozen.path());
        } else {
            // A bus of its own that knows no services to start; for "refused" it denies
            // the Secret Service's item search, which the keyring's client sees as an error.
            const QByteArray refusal = setup == QLatin1String("refused")
                ? "<deny send_interface=\"org.freedesktop.Secret.Service\" "
                  "send_member=\"SearchItems\"/>"
                : "";
            QFile config(dir.filePath(QStringLiteral("bus.conf")));
            QVERIFY(config.open(QIODevice::WriteOnly));
            config.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                         "Configuration 1.0//EN\" "
                         "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                         "<busconfig><type>session</type><listen>unix:dir="
                + dir.path().toUtf8()
                + "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                  "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                  "<allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                + refusal + "</policy></busconfig>\n");
            config.close();
            bus.setStandardErrorFile(QProcess::nullDevice());
            bus.start(QStringLiteral("dbus-daemon"),
                      {"--config-file=" + config.fileName(), "--print-address", "--nofork"});
            QVERIFY2(bus.waitForStarted(5000), "dbus-daemon (package dbus) could not start");
            QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine(), 30000);
            const QString address = QString::fromUtf8(bus.readLine()).trimmed();
            QVERIFY(address.startsWith(QLatin1String("unix:")));
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
            if (setup == QLatin1String("refused")) {
                // The real keyring on that bus, with files of its own, unlocked as the
                // test command unlocks the session's.
                QProcessEnvironment keyringEnv = env;
                keyringEnv.remove(QStringLiteral("GNOME_KEYRING_CONTROL"));
                keyringEnv.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath("data"));
                keyring.setProcessEnvironment(keyringEnv);
                keyring.setStandardOutputFile(QProcess::nullDevice());
                keyring.setStandardErrorFile(QProcess::nullDevice());
                keyring.start(QStringLiteral("gnome-keyring-daemon"),
                    { "--foreground", "--unlock", "--components=secrets" });
                QVERIFY(keyring.waitForStarted(5000));
                keyring.write("pelorin-test-keyring");
                keyring.closeWriteChannel();
                QTRY_VERIFY_WITH_TIMEOUT(nameOwned(address, "org.freedesktop.secrets"), 30000);
            }
        }

        QProcess child;
        child.setProcessEnvironment(env);
        QElapsedTimer timer;
        timer.start();
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        // Keep this process's event loop running: the frozen bus lives here. Five times the
        // 12 s the worst case takes (three calls, each given up after 3 s and a 1 s grace).
        QDeadlineTimer deadline(60000);
        while (child.state() != QProcess::NotRunning && !deadline.hasExpired())
            QTest::qWait(10);
        const bool finished = child.state() == QProcess::NotRunning;
        const qint64 elapsed = timer.elapsed();
        if (!finished) {
            child.kill();
            child.waitForFinished(5000);
        }
        for (QProcess *process : { &keyring, &bus }) {
            if (process->state() != QProcess::NotRunning) {
                process->terminate();
                process->waitForFinished(5000);
            }
        }
        QVERIFY2(finished, "the credential store hung on a store it cannot read");
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);

        const QString output = QString::fromUtf8(child.readAllStandardOutput());
        const QRegularExpressionMatch match
                = QRegularExpression(
                          QStringLiteral("read=\\[(.*)\\] failed=1 write=(\\d) ms=(\\d+),(\\d+),(\\d+)"))
                          .match(output);
        QVERIFY2(match.hasMatch(), qPrintable(output + child.readAllStandardError()));
        QCOMPARE(match.captured(1), QString());
        QCOMPARE(match.captured(2), writes ? QStringLiteral("1") : QStringLiteral("0"));
        // Each call gives up at the 3 s bound on reaching the store (and 1 s of grace), not at the
        // 25 s a call may take once the store answers; the margin is for a loaded machine.
        for (int i = 3; i <= 5; ++i)
            QVERIFY2(match.captured(i).toLongLong() < 20000, qPrintable(output));
        if (setup == QLatin1String("frozen"))
            QVERIFY(frozen.authenticated > 0); // the calls really got as far as the bus
        qInfo("%s: %s (whole child %lld ms)", qPrintable(setup), qPrintable(output.trimmed()),
              static_cast<long long>(elapsed));
    }
};

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet(kChildVariable))
        return runChild();
    QCoreApplication app(argc, argv);
    TestCredentialStore test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_credentialstore.moc"
