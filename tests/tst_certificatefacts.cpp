// What the operator is told about a panel's certificate before trusting it: whether it names the
// panel's address (IP and DNS names, wildcards, the common name), its dates, the fingerprint,
// and the dialog that shows it with its answers.
#include "certificatedialog.h"
#include "certificatefacts.h"
#include "panelprofile.h"
#include "testcertificate.h"
#include "userprompts.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

QString dayOf(int year, int month, int day)
{
    return QDateTime(QDate(year, month, day), QTime(0, 0), Qt::UTC)
        .toLocalTime()
        .toString(QStringLiteral("dd.MM.yyyy"));
}

// The dialog's button of a role: accepting is trusting.
// A moment in UTC: the day, then seconds into it.
QDateTime utc(int year, int month, int day, int second)
{
    return QDateTime(QDate(year, month, day), QTime(0, 0), Qt::UTC).addSecs(second);
}

QPushButton *buttonFor(QWidget *dialog, QDialogButtonBox::ButtonRole role)
{
    auto *box = dialog->findChild<QDialogButtonBox *>();
    const auto buttons = box ? box->buttons() : QList<QAbstractButton *>();
    for (QAbstractButton *button : buttons)
        if (box->buttonRole(button) == role)
            return qobject_cast<QPushButton *>(button);
    return nullptr;
}

} // namespace

class TestCertificateFacts : public QObject
{
    Q_OBJECT

private slots:
    void facts_data();
    void facts();
    void dialog();
    void promptsAnswerAndClose_data();
    void promptsAnswerAndClose();
};

void TestCertificateFacts::facts_data()
{
    QTest::addColumn<QString>("commonName");
    QTest::addColumn<QString>("altNames"); // "" the test default (DNS:<cn>,IP:127.0.0.1), "none"
    QTest::addColumn<bool>("expiredOne"); // valid only in January 2020
    QTest::addColumn<QString>("host");
    QTest::addColumn<QDateTime>("judgedAt"); // invalid: now
    QTest::addColumn<bool>("named");
    QTest::addColumn<QString>("warnings"); // "expired", "early", "host", joined by spaces

    // clang-format off
    QTest::newRow("IP among the IP names") << "panel" << "" << false << "127.0.0.1" << QDateTime() << true << "";
    // Self-signed certificates of panels seldom name the address they are reached at.
    QTest::newRow("IP address not named") << "panel" << "" << false << "192.168.1.10" << QDateTime() << false << "host";
    QTest::newRow("DNS name, other case") << "panel" << "" << false << "PANEL" << QDateTime() << true << "";
    QTest::newRow("DNS name, trailing dot") << "panel" << "" << false << "panel." << QDateTime() << true << "";
    QTest::newRow("DNS name is not a prefix") << "panel" << "" << false << "panel.local" << QDateTime() << false << "host";
    QTest::newRow("wildcard, one label") << "w" << "DNS:*.plant.local" << false << "press.plant.local" << QDateTime() << true << "";
    QTest::newRow("wildcard, two labels") << "w" << "DNS:*.plant.local" << false << "a.press.plant.local" << QDateTime() << false << "host";
    QTest::newRow("wildcard, no label") << "w" << "DNS:*.plant.local" << false << "plant.local" << QDateTime() << false << "host";
    QTest::newRow("common name without alt names") << "hmi-7" << "none" << false << "hmi-7" << QDateTime() << true << "";
    QTest::newRow("common name ignored beside DNS names") << "hmi-7" << "DNS:other" << false << "hmi-7" << QDateTime() << false << "host";
    QTest::newRow("IP address in the common name only") << "10.0.0.5" << "none" << false << "10.0.0.5" << QDateTime() << true << "";
    QTest::newRow("IPv6, another spelling, brackets") << "v6" << "IP:::1" << false << "[0:0:0:0:0:0:0:1]" << QDateTime() << true << "";
    QTest::newRow("IPv6 is not its DNS name") << "v6" << "DNS:v6" << false << "::1" << QDateTime() << false << "host";
    QTest::newRow("expired") << "old" << "" << true << "127.0.0.1" << QDateTime() << true << "expired";
    QTest::newRow("expired and not naming the host") << "old" << "" << true << "10.1.1.1" << QDateTime() << false << "expired host";
    // The dates bound the validity inclusively, to the second.
    QTest::newRow("at its last second") << "old" << "" << true << "127.0.0.1" << utc(2020, 2, 1, 0) << true << "";
    QTest::newRow("a second later") << "old" << "" << true << "127.0.0.1" << utc(2020, 2, 1, 1) << true << "expired";
    QTest::newRow("at its first second") << "old" << "" << true << "127.0.0.1" << utc(2020, 1, 1, 0) << true << "";
    QTest::newRow("a second before") << "old" << "" << true << "127.0.0.1" << utc(2019, 12, 31, 86399) << true << "early";
    QTest::newRow("wildcard, empty label") << "w" << "DNS:*.plant.local" << false << ".plant.local" << QDateTime() << false << "host";
    QTest::newRow("IP common name beside other IP names") << "10.0.0.5" << "IP:10.0.0.6" << false << "10.0.0.5" << QDateTime() << false << "host";
    // clang-format on
}

void TestCertificateFacts::facts()
{
    QFETCH(QString, commonName);
    QFETCH(QString, altNames);
    QFETCH(bool, expiredOne);
    QFETCH(QString, host);
    QFETCH(QDateTime, judgedAt);
    QFETCH(bool, named);
    QFETCH(QString, warnings);

    QTemporaryDir dir;
    TestCertificate cert;
    const bool made = expiredOne ? cert.createExpired(dir.path(), commonName)
                                 : cert.create(dir.path(), commonName, 2, altNames);
    QVERIFY2(made, qPrintable(cert.errorString()));

    PanelProfile profile = PanelProfile::createNew();
    profile.name = QStringLiteral("Пресс <b>№2</b>");
    profile.host = host;
    profile.port = 5901;
    const QDateTime now = judgedAt.isValid() ? judgedAt : QDateTime::currentDateTime();
    const CertificateFacts facts = CertificateFacts::describe(profile, cert.certificate(), now);

    QCOMPARE(CertificateFacts::namesHost(cert.certificate(), host), named);
    QCOMPARE(facts.hostNamed, named);
    QStringList expected;
    for (const QString &kind : warnings.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (kind == QLatin1String("expired"))
            expected
                << QStringLiteral("Срок действия сертификата истёк %1.").arg(dayOf(2020, 2, 1));
        else if (kind == QLatin1String("early"))
            expected << QStringLiteral(
                "Срок действия сертификата ещё не начался: он действует с %1.")
                            .arg(dayOf(2020, 1, 1));
        else
            expected << QStringLiteral("Сертификат выдан не на адрес «%1». У панелей, к которым "
                                       "подключаются по IP-адресу, так бывает часто; решает "
                                       "отпечаток.")
                            .arg(host);
    }
    QCOMPARE(facts.warnings, expected);
    QCOMPARE(facts.expired, warnings.contains(QLatin1String("expired")));
    QCOMPARE(facts.notYetValid, warnings.contains(QLatin1String("early")));

    QCOMPARE(facts.panelName, profile.name);
    QCOMPARE(facts.address, QStringLiteral("%1 : 5901").arg(host));
    QCOMPARE(facts.subject, commonName); // self-signed: issued by itself
    QCOMPARE(facts.issuer, commonName);
    QCOMPARE(facts.sha256, cert.sha256());
    const QString hex = QString::fromLatin1(cert.sha256().toHex()).toUpper();
    QCOMPARE(facts.fingerprint.split(QLatin1Char(' ')).join(QString()), hex);
    QCOMPARE(facts.fingerprint.size(), 64 + 15);
    if (expiredOne)
        QCOMPARE(
            facts.validity, QStringLiteral("с %1 по %2").arg(dayOf(2020, 1, 1), dayOf(2020, 2, 1)));
}

void TestCertificateFacts::dialog()
{
    QTemporaryDir dir;
    TestCertificate cert;
    QVERIFY2(cert.createExpired(dir.path(), QStringLiteral("old")), qPrintable(cert.errorString()));
    PanelProfile profile = PanelProfile::createNew();
    profile.name = QStringLiteral("Пресс <b>№2</b>");
    profile.host = QStringLiteral("10.1.1.1");
    const CertificateFacts facts
        = CertificateFacts::describe(profile, cert.certificate(), QDateTime::currentDateTime());

    CertificateDialog dialog(facts, nullptr);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Подлинность панели не подтверждена"));
    QStringList texts;
    int warnings = 0;
    for (QLabel *label : dialog.findChildren<QLabel *>()) {
        texts << label->text();
        // Names and certificate fields never turn into markup.
        if (label->text() == profile.name)
            QCOMPARE(label->textFormat(), Qt::PlainText);
        warnings += label->property("warning").toBool() ? 1 : 0;
    }
    for (const QString &shown : { profile.name, QStringLiteral("10.1.1.1 : 5900"),
             QStringLiteral("old"), facts.validity, facts.fingerprint })
        QVERIFY2(texts.contains(shown), qPrintable(shown));
    for (const QString &warning : facts.warnings)
        QVERIFY2(texts.contains(warning), qPrintable(warning));
    QCOMPARE(warnings, 2); // expired, and not for this address
    auto *fingerprint = dialog.findChild<QLabel *>(QStringLiteral("fingerprint"));
    QVERIFY(fingerprint);
    QCOMPARE(fingerprint->accessibleName(), QStringLiteral("Отпечаток SHA-256"));

    QPushButton *trust = buttonFor(&dialog, QDialogButtonBox::AcceptRole);
    QPushButton *cancel = buttonFor(&dialog, QDialogButtonBox::RejectRole);
    QVERIFY(trust && cancel);
    QCOMPARE(trust->text(), QStringLiteral("Доверять этой панели"));
    QCOMPARE(cancel->text(), QStringLiteral("Отмена"));
    QCOMPARE(trust->accessibleName(), trust->text());
    QCOMPARE(cancel->accessibleName(), cancel->text());
    // Enter alone must not trust a certificate.
    QVERIFY(cancel->isDefault());
    QVERIFY(!trust->isDefault() && !trust->autoDefault());
}

void TestCertificateFacts::promptsAnswerAndClose_data()
{
    QTest::addColumn<QString>("answer"); // "trust", "cancel", "Escape", or "closed" (ended)
    QTest::addColumn<bool>("trusted");
    QTest::newRow("trusted") << "trust" << true;
    QTest::newRow("cancelled") << "cancel" << false;
    QTest::newRow("escape") << "Escape" << false;
    QTest::newRow("closed by the session") << "closed" << false;
}

void TestCertificateFacts::promptsAnswerAndClose()
{
    QFETCH(QString, answer);
    QTemporaryDir dir;
    TestCertificate cert;
    QVERIFY2(cert.create(dir.path(), QStringLiteral("panel")), qPrintable(cert.errorString()));
    PanelProfile profile = PanelProfile::createNew();
    profile.host = QStringLiteral("127.0.0.1");

    UserPrompts prompts;
    QWidget owner;
    bool answered = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &owner, [&] {
        auto *dialog = qobject_cast<CertificateDialog *>(QApplication::activeModalWidget());
        if (!dialog || answered)
            return;
        answered = true;
        if (answer == QLatin1String("closed"))
            prompts.closeCertificateQuestion();
        else if (answer == QLatin1String("Escape"))
            QTest::keyClick(dialog, Qt::Key_Escape);
        else
            buttonFor(dialog,
                answer == QLatin1String("trust") ? QDialogButtonBox::AcceptRole
                                                 : QDialogButtonBox::RejectRole)
                ->click();
    });
    poll.start(5);
    const bool trusted = prompts.trustCertificate(&owner,
        CertificateFacts::describe(profile, cert.certificate(), QDateTime::currentDateTime()));
    QVERIFY(answered);
    QTEST(trusted, "trusted");
    // Closing again, with no question open, does nothing.
    prompts.closeCertificateQuestion();
}

QTEST_MAIN(TestCertificateFacts)
#include "tst_certificatefacts.moc"
