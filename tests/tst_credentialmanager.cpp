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

namespace {

// A credential as the platform reports it.
struct Stored
{
    bool found = false;
    DWORD type = 0;
    DWORD flags = 0;
    DWORD persist = 0;
    DWORD attributes = 0;
    QString target;
    QString user;
    QString comment;
    QString alias;
    QByteArray blob;
};

Stored stored(const QString &target)
{
    Stored result;
    const std::wstring name = target.toStdWString();
    PCREDENTIALW credential = nullptr;
    if (!CredReadW(name.c_str(), CRED_TYPE_GENERIC, 0, &credential))
        return result;
    result.found = true;
    result.type = credential->Type;
    result.flags = credential->Flags;
    result.persist = credential->Persist;
    result.attributes = credential->AttributeCount;
    auto text = [](const wchar_t *w) { return w ? QString::fromWCharArray(w) : QString(); };
    result.target = text(credential->TargetName);
    result.user = text(credential->UserName);
    result.comment = text(credential->Comment);
    result.alias = text(credential->TargetAlias);
    result.blob = QByteArray(reinterpret_cast<const char *>(credential->CredentialBlob),
        qsizetype(credential->CredentialBlobSize));
    CredFree(credential);
    return result;
}

} // namespace

class TestCredentialManager : public QObject
{
    Q_OBJECT

private:
    QStringList created; // ids whose credentials are removed again at the end

    PanelProfile profile(const QString &password)
    {
        PanelProfile p;
        p.id = PanelProfile::newId();
        p.host = QStringLiteral("10.0.0.5");
        p.password = password;
        p.remember = true;
        created.append(p.id);
        return p;
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
        for (const QString &id : std::as_const(created)) {
            PanelProfile p;
            p.id = id;
            CredentialStore::deletePassword(p);
        }
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("blob"); // the secret exactly as the platform keeps it
        QTest::newRow("plain") << QStringLiteral("pw123") << QByteArray("pw123");
        QTest::newRow("latin-1 letter") << QStringLiteral("é") << QByteArray("\xc3\xa9");
        QTest::newRow("eight latin-1 letters")
            << QStringLiteral("ÿßüéàöñç") << QStringLiteral("ÿßüéàöñç").toUtf8();
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
        const Stored s = stored(target);
        QVERIFY(s.found);
        QCOMPARE(s.type, DWORD(CRED_TYPE_GENERIC));
        QCOMPARE(s.target, target);
        QCOMPARE(s.target.size(), 47);
        QCOMPARE(s.user, QStringLiteral("VNC"));
        QCOMPARE(s.blob, blob); // UTF-8 without terminator
        QCOMPARE(s.persist, DWORD(CRED_PERSIST_LOCAL_MACHINE));
        QCOMPARE(s.flags, DWORD(0));
        QCOMPARE(s.attributes, DWORD(0));
        QCOMPARE(s.comment, QString());
        QCOMPARE(s.alias, QString());
        QCOMPARE(CredentialStore::readPassword(p.id), password);

        CredentialStore::deletePassword(p);
        QVERIFY(!stored(target).found);
        QCOMPARE(CredentialStore::readPassword(p.id), QString());
    }

    void writeReplacesAndKeepsPanelsApart()
    {
        PanelProfile a = profile(QStringLiteral("first"));
        const PanelProfile b = profile(QStringLiteral("other")); // same host, another panel
        QVERIFY(CredentialStore::writePassword(a));
        QVERIFY(CredentialStore::writePassword(b));
        a.password = QStringLiteral("second");
        QVERIFY(CredentialStore::writePassword(a));
        QCOMPARE(CredentialStore::readPassword(a.id), QStringLiteral("second"));
        QCOMPARE(CredentialStore::readPassword(b.id), QStringLiteral("other"));

        DWORD count = 0;
        PCREDENTIALW *list = nullptr;
        const std::wstring filter = CredentialStore::targetName(a.id).toStdWString() + L'*';
        QVERIFY(CredEnumerateW(filter.c_str(), 0, &count, &list));
        CredFree(list);
        QCOMPARE(count, DWORD(1));

        CredentialStore::deletePassword(a);
        QCOMPARE(CredentialStore::readPassword(a.id), QString());
        QCOMPARE(CredentialStore::readPassword(b.id), QStringLiteral("other"));
    }

    void missingTarget()
    {
        const PanelProfile never = profile(QString());
        QCOMPARE(CredentialStore::readPassword(never.id), QString());
        // Deleting what was never stored is harmless, twice over.
        CredentialStore::deletePassword(never);
        CredentialStore::deletePassword(never);
        QVERIFY(!stored(CredentialStore::targetName(never.id)).found);
        // An id that only starts like a stored one finds nothing.
        const PanelProfile kept = profile(QStringLiteral("x"));
        QVERIFY(CredentialStore::writePassword(kept));
        QCOMPARE(CredentialStore::readPassword(kept.id.left(35)), QString());
    }
};

QTEST_GUILESS_MAIN(TestCredentialManager)
#include "tst_credentialmanager.moc"
