// The address book's export and import through the program's own file dialog,
// notices and confirmation, answered as a user would.
#include "exchangeflows.h"
#include "userprompts.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Types `path` into the file dialog, presses "Продолжить" or "Понятно", and
// logs each dialog as "title: text" (for the file dialog, the proposed name).
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
        // A dialog whose queued accept has not run yet is still the active one; on Windows
        // the next poll can come first.
        if (modal && modal == answered)
            return;
        answered = modal;
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
                if (QStringList { "Понятно", "Продолжить" }.contains(button->text()))
                    button->click();
        }
    }
    QTimer poll;
    QString path;
    QPointer<QWidget> answered;
};

} // namespace

class TestExchangeFlows : public QObject
{
    Q_OBJECT

private slots:
    // Export (the suffix comes from the filter), then import the file back:
    // everything but the password, remember and the id returns.
    void roundTrip()
    {
        PanelProfile panel = PanelProfile::createNew();
        panel = { panel.id, "Пресс 2", "[fe80::1]", " Цех 1", QStringLiteral("secret"), "a\nb",
            5901, true, false, true };
        QTemporaryDir dir;
        UserPrompts prompts;
        const QString base = dir.filePath(QStringLiteral("book"));
        {
            User user(base);
            QVERIFY(ExchangeFlows::exportBook(prompts, nullptr, { panel }));
            QCOMPARE(user.log,
                QStringList({ "Экспорт без паролей: Pelorin-panels.json",
                    "Экспорт: Адресная книга сохранена. Пароли в файл не включены." }));
        }
        User user(base + QStringLiteral(".json"));
        const std::optional<AddressBook> imported = ExchangeFlows::chooseImport(prompts, nullptr);
        QCOMPARE(user.log,
            QStringList({ "Импорт адресной книги: ",
                "Импорт: Добавить 1 панелей? Существующие записи сохранятся. Пароли из файла "
                "не импортируются." }));
        QVERIFY(imported && imported->size() == 1);
        QVERIFY(imported->at(0).id != panel.id);
        panel = { imported->at(0).id, panel.name, panel.host, panel.group, QString(), panel.notes,
            panel.port, panel.viewOnly, panel.reconnect, false };
        QCOMPARE(imported->at(0), panel);
    }
};

QTEST_MAIN(TestExchangeFlows)
#include "tst_exchangeflows.moc"
