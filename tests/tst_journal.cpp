// The journal: cleaning of session messages, the lines of encrypted sessions and the hints
// about a panel's security offer, the bound, the line format, the dialog following new lines,
// and the diagnostics export with its failure.
#include "journal.h"
#include "journaldialog.h"
#include "panelprofile.h"
#include "userprompts.h"

#include <QFile>
#include <QPlainTextEdit>
#include <QProperty>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

class TestJournal : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    static QByteArray fileBytes(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }

private slots:
    void cleaning_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("everywhere"); // the message is also the panel's name and host

        QTest::newRow("password twice") << "Pw1"
                                        << "auth Pw1 failed (Pw1)"
                                        << "auth [скрыто] failed ([скрыто])" << false;
        QTest::newRow("case counts") << "Pw1"
                                     << "pw1 PW1"
                                     << "pw1 PW1" << false;
        QTest::newRow("no password") << ""
                                     << "Ошибка: [скрыто]"
                                     << "Ошибка: [скрыто]" << false;
        QTest::newRow("three lines") << ""
                                     << "a\nb\r\nc"
                                     << "a b  c" << false;
        // Cutting first would keep "sec" of the password at the end.
        const QString head(1021, QLatin1Char('x'));
        QTest::newRow("password across the cut")
            << "secret" << head + "secret tail" << QString(head + "[скрыто]").left(1024) << false;
        QTest::newRow("break inside the password") << "a\nb"
                                                   << "[a\nb]"
                                                   << "[[скрыто]]" << false;
        QTest::newRow("long message cut")
            << "" << QString(1500, QLatin1Char('y')) << QString(1024, QLatin1Char('y')) << false;
        const QString pair = QStringLiteral("\U0001F600");
        QTest::newRow("surrogate pair across the cut")
            << "" << QString(1023, QLatin1Char('y')) + pair << QString(1023, QLatin1Char('y'))
            << false;
        // clang-format off
        // Anything that breaks a line, or could forge one, in a message or a panel's name or host.
        QTest::newRow("C0 controls") << "" << "a\tb\001c\033d\177" << "a b c d " << true;
        QTest::newRow("C1 controls, NEL") << "" << "a\u0085b\u009bc" << "a b c" << true;
        QTest::newRow("line, paragraph separators") << "" << "a\u2028b\u2029c" << "a b c" << true;
        QTest::newRow("bidirectional controls") << "" << "a\u202Eb\u200Ec\u2066d\u2069\u202Ae" << "a b c d  e" << true;
        QTest::newRow("Arabic letter mark") << "" << "a\u061Cb" << "a b" << true;
        // clang-format on
    }

    void cleaning()
    {
        QFETCH(QString, password);
        QFETCH(QString, message);
        QFETCH(QString, stored);
        QFETCH(bool, everywhere);

        PanelProfile profile;
        profile.name = QStringLiteral("Пресс 2");
        profile.host = QStringLiteral("10.0.0.5");
        profile.port = 5901;
        profile.password = password;
        if (everywhere)
            profile.name = profile.host = message;

        Journal journal;
        journal.setClock([] { return QDateTime(QDate(2026, 3, 7), QTime(9, 5, 3)); });
        journal.append(Journal::sessionEntry(profile, message));
        const QString panel
            = everywhere ? stored + " · " + stored : QStringLiteral("Пресс 2 · 10.0.0.5");
        QCOMPARE(journal.lines(),
            QStringList(QStringLiteral("07.03.2026 09:05:03  ") + panel + ":5901 · " + stored));
    }

    // A loaded journal keeps its length until a line is added; then the oldest
    // go, and an open dialog shows the result at once.
    // The lines an encrypted session adds, each built as the session builds it.
    void securityMessages_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("expected");
        const QByteArray sha = QByteArray::fromHex(
            "00112233445566778899aabbccddeeff0123456789abcdeffedcba9876543210");
        const QString grouped = QStringLiteral("0011 2233 4455 6677 8899 AABB CCDD EEFF 0123 4567 "
                                               "89AB CDEF FEDC BA98 7654 3210");
        const QString described
            = QStringLiteral("TLS 1.3 · TLS_AES_128_GCM_SHA256 · SHA-256 ") + grouped;
        const QDateTime expiry(QDate(2020, 2, 1), QTime(12, 0));
        QTest::newRow("checked") << Journal::encryptedConnectionMessage(described, true,
            {}) << "Шифрованное соединение: " + described + ", подлинность панели подтверждена";
        QTest::newRow("anonymous")
            << Journal::encryptedConnectionMessage(
                   QStringLiteral("TLS 1.2 · AECDH-AES256-SHA · без сертификата"), false, {})
            << "Шифрованное соединение: TLS 1.2 · AECDH-AES256-SHA · без сертификата, без "
               "проверки подлинности";
        QTest::newRow("pinned, expired")
            << Journal::encryptedConnectionMessage(described, true, expiry)
            << "Шифрованное соединение: " + described
                + ", подлинность панели подтверждена; срок действия сертификата истёк 01.02.2020";
        QTest::newRow("trusted") << Journal::trustDecisionMessage(true, sha)
                                 << "Сертификат панели принят оператором: SHA-256 " + grouped;
        QTest::newRow("refused") << Journal::trustDecisionMessage(false, sha)
                                 << "Сертификат панели не принят оператором: SHA-256 " + grouped;
        const QString rest = QStringLiteral(". Закрепление снимает только «Забыть сертификат» в "
                                            "карточке панели.");
        QTest::newRow("changed")
            << Journal::changedCertificateMessage(
                   QString::fromLatin1(QByteArray(32, 'A').toHex()), sha)
            << "Закреплённый сертификат: SHA-256 4141 4141 4141 4141 4141 4141 4141 4141 4141 4141 "
               "4141 4141 4141 4141 4141 4141; панель предъявила: SHA-256 "
                + grouped + rest;
        // A damaged pin is shown as it is stored.
        QTest::newRow("changed, damaged pin")
            << Journal::changedCertificateMessage(QStringLiteral("3fa0-9c"), sha)
            << "Закреплённый сертификат: SHA-256 3fa0-9c; панель предъявила: SHA-256 " + grouped
                + rest;
    }

    void securityMessages()
    {
        QFETCH(QString, message);
        QTEST(message, "expected");
    }

    void securityOfferHint_data()
    {
        QTest::addColumn<bool>("encryptionOff");
        QTest::addColumn<QList<quint32>>("offered");
        QTest::addColumn<QString>("hint"); // "vencrypt", "rsa-aes" or none
        using Types = QList<quint32>;
        // clang-format off
        QTest::newRow("VeNCrypt only, off") << true << Types{19} << "vencrypt";
        QTest::newRow("Raspberry Pi OS: 19, 129, 5, off") << true << Types{19, 129, 5} << "vencrypt";
        QTest::newRow("VeNCrypt, encryption on") << false << Types{19} << "";
        QTest::newRow("VeNCrypt beside VNC Authentication") << true << Types{19, 2} << "";
        QTest::newRow("VeNCrypt beside None") << true << Types{1, 19} << "";
        QTest::newRow("RSA-AES 5, off") << true << Types{5} << "rsa-aes";
        QTest::newRow("RA2ne") << true << Types{6} << "rsa-aes";
        QTest::newRow("RA2_256, encryption on") << false << Types{129} << "rsa-aes";
        QTest::newRow("RA2ne_256 beside Tight") << true << Types{16, 130} << "rsa-aes";
        QTest::newRow("RSA-AES beside VNC Authentication") << true << Types{130, 2} << "";
        QTest::newRow("Tight only") << true << Types{16} << "";
        QTest::newRow("nothing offered (3.3 refusal)") << true << Types{} << "";
        // clang-format on
    }

    void securityOfferHint()
    {
        QFETCH(bool, encryptionOff);
        QFETCH(QList<quint32>, offered);
        QFETCH(QString, hint);
        const QString expected = hint == QLatin1String("vencrypt")
            ? QStringLiteral("Панель просит шифрованное соединение: его включает «Шифрование» в "
                             "карточке панели.")
            : hint == QLatin1String("rsa-aes")
            ? QStringLiteral("Панель предлагает шифрование RSA-AES, которое Пелорин пока не "
                             "поддерживает.")
            : QString();
        QCOMPARE(Journal::securityOfferHint(encryptionOff, offered), expected);
    }

    void boundAndFollowingView()
    {
        QStringList loaded;
        for (int i = 1; i <= 1002; ++i)
            loaded << QString::number(i);
        Journal journal;
        journal.setLines(loaded);

        JournalDialog dialog(&journal);
        auto *view = dialog.findChild<QPlainTextEdit *>();
        QVERIFY(view);
        QCOMPARE(view->blockCount(), 1002);

        journal.append(QStringLiteral("new"));
        QCOMPARE(journal.lines().size(), Journal::maxLines);
        QCOMPARE(journal.lines().first(), QStringLiteral("4"));
        QVERIFY(journal.lines().last().endsWith(QStringLiteral("  new")));
        QCOMPARE(view->toPlainText(), journal.lines().join(QLatin1Char('\n')));
    }

    // A stored line with half of a surrogate pair reads as the save will write it, so the next
    // start shows the same lines.
    void restoredLinesSaveAsRead_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        const QChar high(0xD83D), low(0xDE80), replaced(0xFFFD);
        QTest::newRow("lone low surrogate")
            << QStringLiteral("a") + low + QStringLiteral("b") << QStringLiteral("a") + replaced + QStringLiteral("b");
        QTest::newRow("lone high surrogate at the end")
            << QStringLiteral("a") + high << QStringLiteral("a") + replaced;
        QTest::newRow("a pair stays") << QStringLiteral("a") + high + low << QStringLiteral("a") + high + low;
    }

    void restoredLinesSaveAsRead()
    {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        Journal journal;
        journal.restoreFromValue(QStringList { QStringLiteral("x"), stored });
        QCOMPARE(journal.lines(), (QStringList { QStringLiteral("x"), shown }));
        const QString path = dir.filePath(QStringLiteral("journal.ini"));
        {
            QSettings settings(path, QSettings::IniFormat);
            QVERIFY(journal.saveSettings(settings, QStringLiteral("journalV2")));
        }
        QSettings settings(path, QSettings::IniFormat);
        Journal reread;
        reread.restoreFromSettings(settings, QStringLiteral("journalV2"));
        QCOMPARE(reread.lines(), journal.lines());
    }

    // A reconnect storm's lines reach the settings together, within two seconds,
    // and within the interval of its first line however long the storm lasts.
    void burstReachesSettingsInOneWrite()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("PelorinTests")); // not the user's
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        Journal journal;
        journal.setAutoSaveKey(QStringLiteral("journalV2"));
        auto *timer = journal.findChild<QTimer *>();
        QVERIFY(timer);
        // Every start and stop of the save's timer: the first line starts it, and the storm's
        // later lines must not start it again, or the save would move on with each of them.
        int starts = 0;
        const QPropertyNotifier watch = timer->bindableActive().addNotifier([&starts, timer]() {
            if (timer->isActive())
                ++starts;
        });
        // Without processing events, so the save cannot happen in between.
        for (int i = 0; i < 301; ++i)
            journal.append(QStringLiteral("Повторное подключение"));
        QVERIFY(timer->isActive() && timer->isSingleShot() && timer->interval() <= 2000);
        QCOMPARE(starts, 1);
        QVERIFY(!QSettings().contains(QStringLiteral("journalV2"))); // no write per line
        QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection);
        QCOMPARE(QSettings().value(QStringLiteral("journalV2")).toStringList(), journal.lines());
    }

    void exportContent_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray header = QStringLiteral("Пелорин — удалённый доступ 2.0\n").toUtf8();
        QTest::newRow("empty") << QStringList() << header;
        QTest::newRow("two lines")
            << QStringList { "a", "б" } << header + QStringLiteral("a\nб").toUtf8();
    }

    void exportContent()
    {
        QFETCH(QStringList, lines);
        QFETCH(QByteArray, bytes);
        Journal journal;
        journal.setLines(lines);
        const QString path = dir.filePath(QStringLiteral("diag.txt"));
        QVERIFY(journal.exportTo(path));
        QCOMPARE(fileBytes(path), bytes);
    }

    // A write that fails half way (here: at the file size limit) must leave the
    // target as it was, and the user is told.
    void failedExportKeepsFile()
    {
#ifndef Q_OS_UNIX
        QSKIP("needs a file size limit (setrlimit)");
#else
        struct Prompts : UserPrompts
        {
            QString path;
            QStringList asked;
            QString chooseFile(QWidget *, const QString &title, const QString &proposed,
                const QString &filter, bool save) override
            {
                asked << QStringList { title, proposed, filter }.join(QLatin1Char('|'));
                return save ? path : QString();
            }
            void notify(QWidget *, const QString &title, const QString &text) override
            {
                asked << title + QLatin1Char('|') + text;
            }
        } prompts;
        prompts.path = dir.filePath(QStringLiteral("kept.txt"));
        QFile old(prompts.path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("previous export");
        old.close();
        Journal journal;
        journal.setLines(QStringList(200, QString(100, QLatin1Char('z'))));

        struct rlimit saved;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        struct rlimit small = saved;
        small.rlim_cur = 4096;
        std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        const bool written = JournalDialog::exportDiagnostics(prompts, nullptr, journal);
        setrlimit(RLIMIT_FSIZE, &saved);

        QVERIFY(!written);
        QCOMPARE(prompts.asked,
            QStringList({ "Экспорт журнала|Pelorin-diagnostics.txt|Текст (*.txt)",
                "Экспорт|Не удалось записать файл." }));
        QCOMPARE(fileBytes(prompts.path), QByteArray("previous export"));
#endif
    }
};

QTEST_MAIN(TestJournal)
#include "tst_journal.moc"
