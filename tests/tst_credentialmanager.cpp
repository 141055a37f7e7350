// The credential store against the Windows Credential Manager, through the
// real CredWriteW/CredReadW/CredDeleteW. What the store leaves behind is read
// back with CredReadW directly, as any other program of the user sees it.
//
// The test command runs it in a private, throw-away wine prefix. On a real
// Windows machine it would write to the user's own Credential Manager, so
// there it runs only when PELORIN_TEST_CREDENTIAL_MANAGER=1 says that is fine.
#include "credentialstore.h"
#include "underwine.h"

#include <QtTest>

#include <windows.h>
// after windows.h, whose types it uses
#include <wincred.h>

#include <string>

class TestCredentialManager : public QObject
{
    Q_OBJECT

private:
    QList<PanelProfile> created; // removed again at the end

    PanelProfile profile(const QString &password)
    {
        PanelProfile p = PanelProfile::createNew();
        p.host = QStringLiteral("10.0.0.5");
        p.password = password;
        p.remember = true;
        created.append(p);
        return p;
    }

    static bool stored(const QString &id)
    {
        PCREDENTIALW credential = nullptr;
        const std::wstring target = CredentialStore::targetName(id).toStdWString();
        if (!CredReadW(target.c_str(), CRED_TYPE_GENERIC, 0, &credential))
            return false;
        CredFree(credential);
        return true;
    }

private slots:
    void initTestCase()
    {
        if (!runningUnderWine() && qgetenv("PELORIN_TEST_CREDENTIAL_MANAGER") != "1")
            QSKIP("Not in a throw-away wine prefix: set PELORIN_TEST_CREDENTIAL_MANAGER=1 to let "
                  "this test write to (and clean up) this user's Credential Manager.");
    }

    void cleanupTestCase()
    {
        for (const PanelProfile &p : std::as_const(created))
            CredentialStore::deletePassword(p);
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("blob"); // the secret exactly as the platform keeps it
        QTest::newRow("plain") << QStringLiteral("pw123") << QByteArray("pw123");
        QTest::newRow("latin-1 letter") << QStringLiteral("é") << QByteArray("\xc3\xa9");
        QTest::newRow("beyond latin-1")
            << QStringLiteral("пароль") << QStringLiteral("пароль").toUtf8();
        QTest::newRow("empty") << QString() << QByteArray();
    }

    void roundTrip()
    {
        QFETCH(QString, password);
        QFETCH(QByteArray, blob);
        const PanelProfile p = profile(password);
        const QString target = CredentialStore::targetName(p.id);
        QVERIFY(CredentialStore::writePassword(p));

        PCREDENTIALW c = nullptr;
        QVERIFY(CredReadW(target.toStdWString().c_str(), CRED_TYPE_GENERIC, 0, &c));
        const auto text
            = [](const wchar_t *w) { return w ? QString::fromWCharArray(w) : QString(); };
        const QString seen = QStringList { text(c->TargetName), text(c->UserName), text(c->Comment),
            text(c->TargetAlias) }
                                 .join(QLatin1Char('|'));
        const QByteArray secret(
            reinterpret_cast<const char *>(c->CredentialBlob), qsizetype(c->CredentialBlobSize));
        const QList<DWORD> members { c->Type, c->Persist, c->Flags, c->AttributeCount };
        CredFree(c);
        QCOMPARE(seen, target + QStringLiteral("|VNC||"));
        QCOMPARE(target.size(), 47);
        QCOMPARE(secret, blob); // UTF-8 without terminator
        QCOMPARE(members, (QList<DWORD> { CRED_TYPE_GENERIC, CRED_PERSIST_LOCAL_MACHINE, 0, 0 }));
        QCOMPARE(CredentialStore::readPassword(p.id), password);

        CredentialStore::deletePassword(p);
        QVERIFY(!stored(p.id));
        QCOMPARE(CredentialStore::readPassword(p.id), QString());
    }

    void replaceMissingAndSeparate()
    {
        PanelProfile a = profile(QStringLiteral("first"));
        const PanelProfile b = profile(QStringLiteral("other")); // same host, another panel
        QVERIFY(CredentialStore::writePassword(a));
        QVERIFY(CredentialStore::writePassword(b));
        a.password = QStringLiteral("second");
        QVERIFY(CredentialStore::writePassword(a)); // replaces the earlier one
        QCOMPARE(CredentialStore::readPassword(a.id), QStringLiteral("second"));
        QCOMPARE(CredentialStore::readPassword(b.id), QStringLiteral("other"));
        // An id that only starts like a stored one finds nothing, and says so.
        CredentialStore::ReadResult result = CredentialStore::ReadResult::Failed;
        QCOMPARE(CredentialStore::readPassword(a.id.left(35), &result), QString());
        QCOMPARE(int(result), int(CredentialStore::ReadResult::NotStored));

        CredentialStore::deletePassword(a);
        CredentialStore::deletePassword(a); // a missing target is harmless
        QVERIFY(!stored(a.id));
        QCOMPARE(CredentialStore::readPassword(b.id), QStringLiteral("other"));
    }
};

QTEST_GUILESS_MAIN(TestCredentialManager)
#include "tst_credentialmanager.moc"
