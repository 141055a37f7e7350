// The address book's import and export with the user: the program's own file
// dialog, the notices and the confirmation, driven as a user would.
#include "exchangefile.h"
#include "exchangeflows.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

PanelProfile panel(const QString &name, const QString &host, int port, bool viewOnly)
{
    PanelProfile p = PanelProfile::createNew();
    p.name = name;
    p.host = host;
    p.port = port;
    p.group = QStringLiteral(" Цех 1");
    p.notes = QStringLiteral("строка 1\nстрока 2");
    p.viewOnly = viewOnly;
    p.reconnect = !viewOnly;
    p.password = QStringLiteral("secret");
    p.remember = true;
    return p;
}

// Answers the modal dialogs that come up while a flow runs: the file dialog gets
// `path` typed in, a question gets `confirmAnswer`, a notice is acknowledged.
// Each dialog is logged as "title: text" (the typed-over proposal for files).
class User : public QObject
{
public:
    User(const QString &path, bool confirmAnswer)
        : path(path)
        , confirmAnswer(confirmAnswer)
    {
        connect(&poll, &QTimer::timeout, this, &User::answer);
        poll.start(10);
    }

    QStringList log;

private:
    void answer()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto *files = qobject_cast<QFileDialog *>(modal)) {
            auto *name = files->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            log << files->windowTitle() + QStringLiteral(": ") + name->text();
            name->setText(path);
            QMetaObject::invokeMethod(files, "accept", Qt::QueuedConnection);
            return;
        }
        // The body's label comes after the title bar's caption.
        log << modal->windowTitle() + QStringLiteral(": ")
                + modal->findChildren<QLabel *>().last()->text();
        const auto buttons = modal->findChildren<QPushButton *>();
        for (QPushButton *button : buttons) {
            const QString text = button->text();
            if (text == QStringLiteral("Понятно")
                || text
                    == (confirmAnswer ? QStringLiteral("Продолжить") : QStringLiteral("Отмена")))
                button->click();
        }
    }

    QTimer poll;
    QString path;
    bool confirmAnswer;
};

const QString confirmText = QStringLiteral(
    "Импорт: Добавить %1 панелей? Существующие записи сохранятся. Пароли из файла не "
    "импортируются.");

} // namespace

class TestExchangeFlows : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

private slots:
    // Export through the dialog (the suffix comes from the filter), then import
    // the file back: everything but passwords, remember and ids returns.
    void roundTrip()
    {
        const AddressBook book { panel("Пресс 2", "10.0.0.5", 5901, true),
            panel("Печь", "[fe80::1]", 5900, false) };
        QWidget owner;
        const QString base = dir.filePath(QStringLiteral("book"));
        {
            User user(base, true);
            QVERIFY(ExchangeFlows::exportBook(&owner, book));
            QCOMPARE(user.log,
                QStringList({ "Экспорт без паролей: Pelorin-panels.json",
                    "Экспорт: Адресная книга сохранена. Пароли в файл не "
                    "включены." }));
        }
        User user(base + QStringLiteral(".json"), true);
        const std::optional<AddressBook> imported = ExchangeFlows::chooseImport(&owner);
        QCOMPARE(user.log, QStringList({ "Импорт адресной книги: ", confirmText.arg(2) }));
        QVERIFY(imported);
        QCOMPARE(imported->size(), 2);
        for (int i = 0; i < 2; ++i) {
            PanelProfile expected = book.at(i);
            expected.id = imported->at(i).id;
            expected.password.clear();
            expected.remember = false;
            QCOMPARE(imported->at(i), expected);
            QVERIFY(imported->at(i).id != book.at(i).id);
        }
    }

    void import_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("confirmAnswer");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("added"); // -1: nothing to add

        const QByteArray two
            = buildExchangeFile({ panel("a", "h1", 1, false), panel("b", "h2", 2, true) });
        QTest::newRow("accepted") << two << true << confirmText.arg(2) << 2;
        QTest::newRow("declined") << two << false << confirmText.arg(2) << -1;
        QTest::newRow("empty book accepted")
            << buildExchangeFile({}) << true << confirmText.arg(0) << 0;
        QTest::newRow("refused") << QByteArray("{\"format\":\"pelorin-addressbook\"}") << true
                                 << "Импорт: Ожидается адресная книга Пелорин версии 2." << -1;
        QByteArray huge = two;
        huge.append(kExchangeFileMaxBytes, ' ');
        QTest::newRow("too large")
            << huge << true << "Импорт: Файл слишком большой (максимум 2 МБ)." << -1;
    }

    void import()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, confirmAnswer);
        QFETCH(QString, shown);
        QFETCH(int, added);

        const QString path = dir.filePath(QStringLiteral("in.json"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        file.close();

        QWidget owner;
        User user(path, confirmAnswer);
        const std::optional<AddressBook> result = ExchangeFlows::chooseImport(&owner);
        QCOMPARE(user.log, QStringList({ "Импорт адресной книги: ", shown }));
        QCOMPARE(result ? int(result->size()) : -1, added);
    }
};

QTEST_MAIN(TestExchangeFlows)
#include "tst_exchangeflows.moc"
