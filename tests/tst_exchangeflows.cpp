// The address book's export and import through the program's own file dialog,
// notices and confirmation, answered as a user would.
#include "exchangeflows.h"
#include "userprompts.h"

#include <QApplication>
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

// Answers every modal dialog that comes up: types `path` into the file dialog,
// presses "Продолжить" or "Понятно", and logs "title: text" (for the file
// dialog the proposed name).
class User : public QObject
{
public:
    explicit User(const QString &path)
        : path(path)
    {
        connect(&poll, &QTimer::timeout, this, &User::answer);
        poll.start(10);
    }

    QStringList log;

private:
    void answer()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *files = qobject_cast<QFileDialog *>(modal)) {
            auto *name = files->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            log << files->windowTitle() + QStringLiteral(": ") + name->text();
            name->setText(path);
            // Queued: the dialog's own questions must reach this timer again.
            QMetaObject::invokeMethod(files, "accept", Qt::QueuedConnection);
        } else if (modal) {
            // The body's label comes after the title bar's caption.
            log << modal->windowTitle() + QStringLiteral(": ")
                    + modal->findChildren<QLabel *>().last()->text();
            for (QPushButton *button : modal->findChildren<QPushButton *>())
                if (button->text() == QStringLiteral("Понятно")
                    || button->text() == QStringLiteral("Продолжить"))
                    button->click();
        }
    }

    QTimer poll;
    QString path;
};

} // namespace

class TestExchangeFlows : public QObject
{
    Q_OBJECT

private slots:
    // Export (the suffix comes from the filter), then import the file back:
    // everything but passwords, remember and ids returns.
    void roundTrip()
    {
        QTemporaryDir dir;
        const AddressBook book { panel("Пресс 2", "10.0.0.5", 5901, true),
            panel("Печь", "[fe80::1]", 5900, false) };
        QWidget owner;
        UserPrompts prompts;
        const QString base = dir.filePath(QStringLiteral("book"));
        {
            User user(base);
            QVERIFY(ExchangeFlows::exportBook(prompts, &owner, book));
            QCOMPARE(user.log,
                QStringList({ "Экспорт без паролей: Pelorin-panels.json",
                    "Экспорт: Адресная книга сохранена. Пароли в файл не включены." }));
        }
        User user(base + QStringLiteral(".json"));
        const std::optional<AddressBook> imported = ExchangeFlows::chooseImport(prompts, &owner);
        QCOMPARE(user.log,
            QStringList({ "Импорт адресной книги: ",
                "Импорт: Добавить 2 панелей? Существующие записи сохранятся. Пароли из файла "
                "не импортируются." }));
        QVERIFY(imported && imported->size() == 2);
        for (int i = 0; i < 2; ++i) {
            PanelProfile expected = book.at(i);
            expected.id = imported->at(i).id;
            expected.password.clear();
            expected.remember = false;
            QCOMPARE(imported->at(i), expected);
            QVERIFY(imported->at(i).id != book.at(i).id);
        }
    }
};

QTEST_MAIN(TestExchangeFlows)
#include "tst_exchangeflows.moc"
