// The profile editor: the checks of the typed fields as one table, and the
// dialog against the throw-away keyring of the test command's D-Bus session.
#include "credentialbackend.h"
#include "credentialstore.h"
#include "profileeditor.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

namespace {

const char *const kChildVariable = "PELORIN_EDITOR_CHILD";
const QString hostMessage
    = QStringLiteral("Введите IP или имя хоста без http:// и пути. Порт задаётся отдельно.");
const QString lengthMessage = QStringLiteral("Слишком длинные поля: название и группа до 200, "
                                             "адрес до 255, заметки до 10000 символов.");
const QString latinMessage
    = QStringLiteral("Используйте пароль в Latin-1 (например, латиницу и цифры).");
const QString eightMessage = QStringLiteral("Используйте до 8 символов Latin-1 (латиница, цифры).");
const QString encryptedPasswordMessage
    = QStringLiteral("Пароль для шифрованного соединения: до 128 символов.");
const QString userNameMessage = QStringLiteral("Имя пользователя: до 200 символов.");

template<typename T> T *field(QWidget *dialog, const QString &name)
{
    for (T *widget : dialog->findChildren<T *>())
        if (widget->accessibleName() == name)
            return widget;
    return nullptr;
}

QString storedSecret(const QString &id, bool *stored)
{
    QByteArray secret;
    *stored = CredentialBackend::read(CredentialStore::targetName(id), &secret)
        == CredentialBackend::ReadResult::Found;
    return QString::fromUtf8(secret);
}

// Child mode, without any reachable store: a failed write ("write") or read ("read") of a
// remembered password; the dialog must say so, and the read case saves without writing.
int runChild(const QByteArray &mode)
{
    PanelProfile record = PanelProfile::createNew();
    record.name = QStringLiteral("Линия 1");
    record.host = QStringLiteral("10.0.0.5");
    record.remember = mode.startsWith("read");
    ProfileEditor editor(ProfileEditor::Mode::NewPanel, record, nullptr);
    auto *password = field<QLineEdit>(&editor, QStringLiteral("Пароль"));
    if (mode == "write")
        password->setText(QStringLiteral("pw"));
    if (mode == "read, emptied by hand") {
        // Typed and taken back: an empty password is meant, even after a change of
        // encryption (which sets the field's length anew).
        QTest::keyClick(password, Qt::Key_X);
        QTest::keyClick(password, Qt::Key_Backspace);
        field<QComboBox>(&editor, QStringLiteral("Шифрование"))->setCurrentIndex(2);
        field<QComboBox>(&editor, QStringLiteral("Шифрование"))->setCurrentIndex(0);
    }
    field<QCheckBox>(&editor, QStringLiteral("Сохранить пароль в хранилище Windows"))
        ->setChecked(true);
    editor.show();
    field<QPushButton>(&editor, QStringLiteral("Сохранить"))->click();
    const PanelProfile typed = editor.typed();
    std::printf("%s|%d|%d|%s|%s|%d\n",
        qUtf8Printable(editor.findChild<QLabel *>(QStringLiteral("error"))->text()),
        editor.isVisible(), editor.result(), qUtf8Printable(typed.name),
        qUtf8Printable(typed.password.toQString()), typed.remember);
    return 0;
}

} // namespace

class TestProfileEditor : public QObject
{
    Q_OBJECT

private slots:
    void validation_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("encryption"); // as stored: "", "preferred", "required"
        QTest::addColumn<QString>("userName");
        QTest::addColumn<QString>("expected"); // a refusal's message, or "stored name|stored host"
        const QString n200(200, QLatin1Char('n')), h255(255, QLatin1Char('h'));
        const QString u200(200, QChar(0x0443)), p128(128, QChar(0x0436));
        const QString badHost = hostMessage, tooLong = lengthMessage, latin = latinMessage;
        const QString eight = eightMessage, longEncrypted = encryptedPasswordMessage;
        const QString longUser = userNameMessage;
        // clang-format off
        QTest::newRow("IPv6 in brackets") << "" << " [fe80::1] " << "" << "" << "" << "fe80::1|fe80::1";
        QTest::newRow("port in the host") << "A" << "10.0.0.5:5900" << "" << "" << "" << "A|10.0.0.5:5900";
        QTest::newRow("name of spaces") << "   " << "plc" << "" << "" << "" << "plc|plc";
        QTest::newRow("scheme") << "A" << "http://plc" << "" << "" << "" << badHost;
        QTest::newRow("path") << "A" << "plc/vnc" << "" << "" << "" << badHost;
        QTest::newRow("backslash") << "A" << "plc\\vnc" << "" << "" << "" << badHost;
        QTest::newRow("inner space") << "A" << "10.0 .0.5" << "" << "" << "" << badHost;
        QTest::newRow("only spaces") << "A" << "  " << "" << "" << "" << badHost;
        QTest::newRow("empty brackets") << "A" << "[]" << "" << "" << "" << badHost;
        QTest::newRow("name 200") << n200 << "plc" << "" << "" << "" << n200 + "|plc";
        QTest::newRow("name 201") << n200 + "n" << "plc" << "" << "" << "" << tooLong;
        QTest::newRow("name 200 and spaces") << n200 + "  " << "plc" << "" << "" << "" << tooLong;
        QTest::newRow("host 255 in brackets") << "A" << "[" + h255 + "]" << "" << "" << "" << "A|" + h255;
        QTest::newRow("host 256") << "A" << h255 + "h" << "" << "" << "" << tooLong;
        QTest::newRow("latin-1 password") << "A" << "plc" << "é" << "" << "" << "A|plc";
        QTest::newRow("cyrillic password") << "A" << "plc" << "пар" << "" << "" << latin;
        // Without encryption a longer password (typed while it was on) is refused, not cut.
        QTest::newRow("eight latin-1") << "A" << "plc" << "12345678" << "" << "" << "A|plc";
        QTest::newRow("nine latin-1") << "A" << "plc" << "123456789" << "" << "" << eight;
        QTest::newRow("nine cyrillic: encoding first") << "A" << "plc" << "пароль123" << "" << "" << latin;
        QTest::newRow("encrypted: any script") << "A" << "plc" << "пароль панели №3" << "preferred" << "" << "A|plc";
        QTest::newRow("encrypted: 128") << "A" << "plc" << p128 << "required" << "" << "A|plc";
        QTest::newRow("encrypted: 129") << "A" << "plc" << p128 + "ж" << "required" << "" << longEncrypted;
        QTest::newRow("user name 200") << "A" << "plc" << "" << "required" << u200 << "A|plc";
        QTest::newRow("user name 201") << "A" << "plc" << "" << "required" << u200 + "у" << longUser;
        QTest::newRow("user name kept without encryption") << "A" << "plc" << "" << "" << " ivan " << "A|plc";
        // One message at a time, in the order of the fields.
        QTest::newRow("host before length") << n200 + "n" << "a b" << "пар" << "" << "" << badHost;
        QTest::newRow("length before password") << n200 + "n" << "plc" << "пар" << "" << "" << tooLong;
        QTest::newRow("password before user name") << "A" << "plc" << "123456789" << "" << u200 + "у" << eight;
        // clang-format on
    }

    void validation()
    {
        QFETCH(QString, name);
        QFETCH(QString, host);
        QFETCH(QString, password);
        QFETCH(QString, encryption);
        QFETCH(QString, userName);
        QFETCH(QString, expected);
        PanelProfile typed = PanelProfile::createNew();
        typed.name = name;
        typed.host = host;
        typed.group = QStringLiteral(" Цех ");
        typed.password = password;
        typed.notes = QStringLiteral(" n\n");
        typed.port = 5901;
        typed.viewOnly = true;
        typed.remember = true;
        typed.encryption = PanelProfile::encryptionFromName(encryption);
        typed.userName = userName;
        typed.certificateSha256 = QStringLiteral("pin");
        const ProfileValidation checked = validateProfile(typed);
        PanelProfile stored = typed;
        if (expected.contains(QLatin1Char('|'))) {
            stored.name = expected.section('|', 0, 0);
            stored.host = expected.section('|', 1);
            stored.group = QStringLiteral("Цех");
            expected.clear();
        }
        QCOMPARE(checked.error, expected);
        // Everything else, password and user name included, is kept exactly as typed.
        if (checked.ok())
            QCOMPARE(checked.profile, stored);
    }

    void keyring_data()
    {
        QTest::addColumn<QString>("before"); // stored before the editor opens; null: none
        QTest::addColumn<QString>("typed"); // null: leave the field as shown
        QTest::addColumn<bool>("remember");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("password"); // of the accepted record, or the one stored
        QTest::addColumn<bool>("storedAfter");
        QTest::addColumn<bool>("refused"); // the settings write, after the store took its part
        // clang-format off
        QTest::newRow("ticked") << QString() << "pw1" << true << "" << "pw1" << true << false;
        QTest::newRow("ticked, empty") << QString() << "" << true << "" << "" << true << false;
        QTest::newRow("unticked removes") << "old" << "typed" << false << "old" << "typed" << false << false;
        QTest::newRow("stored too long") << "123456789abc" << QString() << true << "12345678" << "12345678" << true << false;
        QTest::newRow("ticked, refused: none again") << QString() << "pw1" << true << "" << "" << false << true;
        // clang-format on
    }

    void keyring()
    {
        QFETCH(QString, before);
        QFETCH(QString, typed);
        QFETCH(bool, remember);
        QFETCH(QString, password);
        QFETCH(bool, storedAfter);
        QFETCH(bool, refused);
        PanelProfile record = PanelProfile::createNew();
        record.host = QStringLiteral("10.0.0.5");
        record.password = before;
        record.remember = !before.isNull();
        record.compression = record.remember;
        if (record.remember)
            QVERIFY2(CredentialStore::writePassword(record), "the test keyring is not reachable");
        record.password.clear(); // as loaded from the settings

        ProfileEditor editor(
            before.isNull() ? ProfileEditor::Mode::NewPanel : ProfileEditor::Mode::ExistingPanel,
            record, nullptr);
        auto *passwordEdit = field<QLineEdit>(&editor, QStringLiteral("Пароль"));
        QTEST(passwordEdit->text(), "shown");
        if (!typed.isNull())
            passwordEdit->setText(typed);
        field<QCheckBox>(&editor, QStringLiteral("Сохранить пароль в хранилище Windows"))
            ->setChecked(remember);
        auto *compression = field<QCheckBox>(&editor, QStringLiteral("Сжатие (медленный канал)"));
        QCOMPARE(compression->isChecked(), record.compression);
        compression->toggle();
        if (refused)
            editor.setCommit([](const PanelProfile &) { return QStringLiteral("refused"); });
        field<QPushButton>(&editor, QStringLiteral("Сохранить"))->click();
        QCOMPARE(editor.result(), int(refused ? QDialog::Rejected : QDialog::Accepted));
        QCOMPARE(editor.profile().compression, refused ? record.compression : !record.compression);
        QCOMPARE(editor.profile().password, refused ? before : password);
        QCOMPARE(editor.profile().remember, refused ? record.remember : remember);
        bool stored = false;
        const QString secret = storedSecret(record.id, &stored);
        CredentialStore::deletePassword(record);
        QCOMPARE(stored, storedAfter);
        QCOMPARE(secret, storedAfter ? password : QString());
    }

    // The password's rules follow the chosen encryption both ways, and switching back to
    // "Нет" never cuts what was typed: Save refuses it with the message of the plain rules.
    void passwordRulesFollowEncryption()
    {
        PanelProfile record = PanelProfile::createNew();
        record.host = QStringLiteral("10.0.0.5");
        record.password = QStringLiteral("123456789"); // a plain record shows eight
        ProfileEditor editor(ProfileEditor::Mode::ExistingPanel, record, nullptr);
        auto *password = field<QLineEdit>(&editor, QStringLiteral("Пароль"));
        auto *encryption = field<QComboBox>(&editor, QStringLiteral("Шифрование"));
        auto *hint = field<QLabel>(&editor, QStringLiteral("Подсказка к паролю"));
        auto *error = editor.findChild<QLabel *>(QStringLiteral("error"));
        auto *save = field<QPushButton>(&editor, QStringLiteral("Сохранить"));
        QVERIFY(password && encryption && hint && error && save);
        QCOMPARE(encryption->currentText(), QStringLiteral("Нет"));
        QCOMPARE(password->text(), QStringLiteral("12345678"));
        QCOMPARE(password->maxLength(), 8);
        QCOMPARE(hint->text(), QStringLiteral("Пароль подключения: до 8 символов."));

        encryption->setCurrentText(QStringLiteral("Обязательно"));
        QCOMPARE(password->maxLength(), 128);
        QVERIFY(hint->text().startsWith(
            QStringLiteral("Пароль подключения: до 128 символов любого алфавита")));
        const QString longer = QStringLiteral("пароль панели №3");
        password->setText(longer);

        encryption->setCurrentText(QStringLiteral("Нет"));
        QCOMPARE(password->text(), longer);
        QCOMPARE(hint->text(), QStringLiteral("Пароль подключения: до 8 символов."));
        save->click();
        QCOMPARE(error->text(), latinMessage);
        password->setText(QStringLiteral("abcdefghij"));
        save->click();
        QCOMPARE(error->text(), eightMessage);
        QCOMPARE(editor.result(), int(QDialog::Rejected));
        QCOMPARE(password->text(), QStringLiteral("abcdefghij"));

        password->setText(longer);
        encryption->setCurrentText(QStringLiteral("Если панель предлагает"));
        field<QLineEdit>(&editor, QStringLiteral("Пользователь"))->setText(QStringLiteral("ivan"));
        save->click();
        QCOMPARE(editor.result(), int(QDialog::Accepted));
        QCOMPARE(editor.profile().password, longer);
        QCOMPARE(editor.profile().encryption, PanelProfile::Encryption::Preferred);
        QCOMPARE(editor.profile().userName, QStringLiteral("ivan"));
    }

    void certificate_data()
    {
        QTest::addColumn<QString>("pin"); // stored when the editor opens
        QTest::addColumn<QString>("host"); // typed into the host field; null: untouched
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("action"); // "forget", "trust" (a pin arrives) or ""
        QTest::addColumn<QString>("shown"); // the fingerprint row; null: hidden
        QTest::addColumn<QString>("note"); // said before Save; empty: nothing
        QTest::addColumn<QString>("kept"); // the pin of the saved record
        const QString pin = QStringLiteral(
            "3fa09c1b00112233445566778899aabbccddeeff0123456789abcdefABCDEF01");
        const QString grouped = QStringLiteral("3FA0 9C1B 0011 2233 4455 6677 8899 AABB CCDD EEFF "
                                               "0123 4567 89AB CDEF ABCD EF01");
        const QString forgotten = QStringLiteral("Сертификат будет забыт при сохранении.");
        const QString moved
            = QStringLiteral("Адрес панели изменён: сертификат будет забыт при сохранении.");
        const QString other = QString(64, QLatin1Char('e'));
        const QString damaged = QStringLiteral("AB:CD <b>x</b>");
        // clang-format off
        QTest::newRow("no pin") << QString() << QString() << 5900 << "" << QString() << "" << "";
        QTest::newRow("kept") << pin << QString() << 5900 << "" << grouped << "" << pin;
        QTest::newRow("host only rewritten") << pin << " [fe80::1] " << 5900 << "" << grouped << "" << pin;
        QTest::newRow("forgotten") << pin << QString() << 5900 << "forget" << grouped << forgotten << "";
        QTest::newRow("host changed") << pin << "fe80::2" << 5900 << "" << grouped << moved << "";
        QTest::newRow("port changed") << pin << QString() << 5901 << "" << grouped << moved << "";
        QTest::newRow("malformed kept as it is") << damaged << QString() << 5900 << ""
            << damaged + " (повреждён: не подходит ни к одному сертификату)" << "" << damaged;
        QTest::newRow("trusted while open") << pin << QString() << 5900 << "trust"
            << QStringLiteral("EEEE ").repeated(15) + "EEEE" << "" << other;
        QTest::newRow("trusted after forgetting") << pin << QString() << 5900 << "forget trust"
            << QStringLiteral("EEEE ").repeated(15) + "EEEE" << "" << other;
        // clang-format on
    }

    void certificate()
    {
        QFETCH(QString, pin);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, action);
        PanelProfile record = PanelProfile::createNew();
        record.host = QStringLiteral("[fe80::1]"); // as an import keeps it
        record.encryption = PanelProfile::Encryption::Required;
        record.certificateSha256 = pin;
        ProfileEditor editor(ProfileEditor::Mode::ExistingPanel, record, nullptr);
        editor.show();
        if (!host.isNull())
            field<QLineEdit>(&editor, QStringLiteral("IP / имя хоста"))->setText(host);
        field<QSpinBox>(&editor, QStringLiteral("Порт"))->setValue(port);
        auto *forget = field<QPushButton>(&editor, QStringLiteral("Забыть сертификат"));
        if (action.contains(QLatin1String("forget")))
            forget->click();
        if (action.contains(QLatin1String("trust")))
            editor.setStoredCertificate(QString(64, QLatin1Char('e')));

        auto *fingerprint = field<QLabel>(&editor, QStringLiteral("Отпечаток сертификата"));
        auto *noteLabel = field<QLabel>(&editor, QStringLiteral("Сертификат будет забыт"));
        QFETCH(QString, shown);
        QCOMPARE(fingerprint->isVisible(), !shown.isNull());
        QCOMPARE(forget->isVisible(), !shown.isNull());
        if (!shown.isNull()) {
            QCOMPARE(fingerprint->text(), shown);
            QCOMPARE(fingerprint->textFormat(), Qt::PlainText);
        }
        QFETCH(QString, note);
        QCOMPARE(noteLabel->isVisible() ? noteLabel->text() : QString(), note);
        QCOMPARE(forget->isEnabled(), action != QLatin1String("forget"));
        // Nothing changes before Save.
        QCOMPARE(editor.profile().certificateSha256,
            action.contains(QLatin1String("trust")) ? QString(64, QLatin1Char('e')) : pin);

        field<QPushButton>(&editor, QStringLiteral("Сохранить"))->click();
        QCOMPARE(editor.result(), int(QDialog::Accepted));
        QTEST(editor.profile().certificateSha256, "kept");
    }

    void failingStore_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("expected"); // error label|visible|result|name|password|remember
        QTest::newRow("write fails: dialog kept") << "write"
            << "Не удалось сохранить пароль в Windows. Снимите флажок или проверьте доступ к "
               "хранилищу.|1|0|Линия 1|pw|1";
        QTest::newRow("read fails: stored password kept") << "read"
            << "Не удалось прочитать пароль из хранилища Windows. Оставьте поле пустым, чтобы "
               "сохранить прежний пароль, или введите новый.|0|1|Линия 1||1";
        QTest::newRow("read fails, field emptied: empty password written") << "read, emptied by hand"
            << "Не удалось сохранить пароль в Windows. Снимите флажок или проверьте доступ к "
               "хранилищу.|1|0|Линия 1||1";
    }

    void failingStore()
    {
        QFETCH(QString, mode);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildVariable), mode);
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
            QStringLiteral("unix:path=/nonexistent/bus"));
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(child.waitForFinished(30000));
        QTEST(QString::fromUtf8(child.readAllStandardOutput()).trimmed(), "expected");
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(kChildVariable))
        return runChild(qgetenv(kChildVariable));
    TestProfileEditor test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_profileeditor.moc"
