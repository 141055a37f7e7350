// The chrome dialogs and their helpers, driven while they run modally.
#include "chromedialog.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtTest>

#include <functional>

namespace {

// Runs action on the next modal dialog once it is shown (exec() blocks the test),
// and rejects that dialog after a while should the action leave it open.
void whenModal(QObject *context, std::function<void(QWidget *)> action)
{
    auto *poll = new QTimer(context);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, context, [poll, action] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        QPointer<QDialog> dialog = qobject_cast<QDialog *>(modal);
        action(modal);
        QTimer::singleShot(5000, modal, [dialog] {
            if (dialog && dialog->isVisible())
                dialog->reject();
        });
    });
    poll->start();
}

QPushButton *buttonWithText(QWidget *dialog, const QString &text)
{
    const auto buttons = dialog->findChildren<QPushButton *>();
    for (QPushButton *button : buttons) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

QWidget *keyTarget(QWidget *dialog)
{
    return dialog->focusWidget() ? dialog->focusWidget() : dialog;
}

} // namespace

class TestChromeDialog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void dialogFrame()
    {
        ChromeDialog dialog(QStringLiteral("Заголовок"));
        // No maximise hint: a double-click on the bar must not maximise a dialog.
        QCOMPARE(dialog.windowFlags(), Qt::Dialog | Qt::FramelessWindowHint);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Заголовок"));
        QVERIFY(!dialog.windowIcon().isNull());

        QLayout *outer = dialog.layout();
        QCOMPARE(outer->contentsMargins(), QMargins(1, 1, 1, 1));
        QCOMPARE(outer->spacing(), 0);
        QWidget *bar = outer->itemAt(0)->widget();
        QCOMPARE(bar->objectName(), QStringLiteral("windowBar"));
        QCOMPARE(bar->findChild<QLabel *>(QStringLiteral("windowCaption"))->text(),
                 QStringLiteral("Заголовок"));
        // Titles carry panel names: "<img src=…>" must stay text.
        QCOMPARE(bar->findChild<QLabel *>("windowCaption")->textFormat(), Qt::PlainText);
        const auto buttons = bar->findChildren<QPushButton *>();
        QCOMPARE(buttons.size(), 1);
        QCOMPARE(buttons.at(0)->objectName(), QStringLiteral("windowClose"));
        QCOMPARE(buttons.at(0)->toolTip(), QStringLiteral("Закрыть окно"));

        QVBoxLayout *body = dialog.contentLayout();
        QCOMPARE(outer->itemAt(1)->widget(), body->parentWidget());
        QCOMPARE(body->contentsMargins(), QMargins(24, 18, 24, 22));
        QCOMPARE(body->spacing(), 12);

        // Double-clicking a dialog's bar changes nothing.
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QSize before = dialog.size();
        QTest::mouseDClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(bar->width() / 2, 10));
        QVERIFY(!dialog.isMaximized());
        QCOMPARE(dialog.size(), before);
    }

    void confirmAnswers_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("result");
        QTest::newRow("Продолжить") << "continue" << true;
        QTest::newRow("Отмена") << "cancel" << false;
        QTest::newRow("Escape") << "escape" << false;
        QTest::newRow("title bar close button") << "close" << false;
        // Initial focus lands on "Продолжить", never on the title bar's close button.
        QTest::newRow("Enter on the initial focus") << "enter" << true;
    }

    void confirmAnswers()
    {
        QFETCH(QString, action);
        QFETCH(bool, result);

        int minimumWidth = 0;
        QString shown;
        Qt::TextFormat format = Qt::AutoText;
        whenModal(this, [&](QWidget *dialog) {
            minimumWidth = dialog->minimumWidth();
            // The question is the one label besides the title bar's logo and caption.
            const auto labels = dialog->findChildren<QLabel *>();
            for (QLabel *label : labels) {
                if (label->objectName().isEmpty() && !label->text().isEmpty()) {
                    shown = label->text();
                    format = label->textFormat();
                }
            }
            if (action == QLatin1String("continue"))
                QTest::mouseClick(buttonWithText(dialog, QStringLiteral("Продолжить")),
                                  Qt::LeftButton);
            else if (action == QLatin1String("cancel"))
                QTest::mouseClick(buttonWithText(dialog, QStringLiteral("Отмена")),
                                  Qt::LeftButton);
            else if (action == QLatin1String("escape"))
                QTest::keyClick(keyTarget(dialog), Qt::Key_Escape);
            else if (action == QLatin1String("close"))
                QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("windowClose")),
                                  Qt::LeftButton);
            else if (action == QLatin1String("enter"))
                QTest::keyClick(keyTarget(dialog), Qt::Key_Return);
        });
        const QString question = QStringLiteral("Отправить <b>Ctrl + Alt + Del</b>?");
        QCOMPARE(confirm(nullptr, QStringLiteral("Подтверждение"), question), result);
        QCOMPARE(minimumWidth, 440);
        QCOMPARE(shown, question);
        QCOMPARE(format, Qt::PlainText);
    }

    void notifyShowsTextLiterally_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("markup tags") << "<b>Импорт</b> завершён: <i>3</i> панели<br>готово";
        QTest::newRow("entity") << "a &lt; b &amp;&amp; c";
        QTest::newRow("plain") << "Панель недоступна";
    }

    void notifyShowsTextLiterally()
    {
        QFETCH(QString, text);

        int minimumWidth = 0;
        QStringList texts;
        bool plain = true;
        whenModal(this, [&](QWidget *dialog) {
            minimumWidth = dialog->minimumWidth();
            const auto labels = dialog->findChildren<QLabel *>();
            for (QLabel *label : labels) {
                texts << label->text();
                if (label->text() == text)
                    plain = label->textFormat() == Qt::PlainText && label->wordWrap();
            }
            QTest::mouseClick(buttonWithText(dialog, QStringLiteral("Понятно")), Qt::LeftButton);
        });
        notify(nullptr, QStringLiteral("Импорт"), text);
        QCOMPARE(minimumWidth, 420);
        QVERIFY2(texts.contains(text), qPrintable(texts.join(QLatin1Char('|'))));
        QVERIFY(plain);
    }

    void chooseFileSave_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("expected");
        QTest::newRow("png appended") << "PNG (*.png)" << "shot" << "shot.png";
        QTest::newRow("txt appended") << "Текст (*.txt)" << "journal" << "journal.txt";
        QTest::newRow("json appended") << "Адресная книга (*.json)" << "book" << "book.json";
        QTest::newRow("suffix kept") << "PNG (*.png)" << "shot.png" << "shot.png";
        QTest::newRow("other suffix kept") << "PNG (*.png)" << "shot.jpeg" << "shot.jpeg";
        QTest::newRow("unknown filter gives txt") << "Все файлы (*)" << "notes" << "notes.txt";
        QTest::newRow("filter search is case-sensitive") << "PNG (*.PNG)" << "shot" << "shot.txt";
    }

    void chooseFileSave()
    {
        QFETCH(QString, filter);
        QFETCH(QString, typed);
        QFETCH(QString, expected);

        QString acceptText;
        QSize size;
        Qt::WindowFlags flags;
        QString barCaption;
        whenModal(this, [&](QWidget *dialog) {
            auto *files = qobject_cast<QFileDialog *>(dialog);
            QVERIFY(files);
            acceptText = files->labelText(QFileDialog::Accept);
            size = dialog->size();
            flags = dialog->windowFlags();
            if (auto *bar = dialog->findChild<QWidget *>(QStringLiteral("windowBar")))
                barCaption = bar->findChild<QLabel *>(QStringLiteral("windowCaption"))->text();
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            QVERIFY(name);
            name->clear();
            QTest::keyClicks(name, typed);
            QTest::mouseClick(buttonWithText(dialog, QStringLiteral("Сохранить")), Qt::LeftButton);
        });
        const QString chosen = chooseFile(nullptr, QStringLiteral("Снимок"), dir.path(), filter, true);
        QCOMPARE(chosen, dir.filePath(expected));
        QCOMPARE(acceptText, QStringLiteral("Сохранить"));
        QCOMPARE(size, QSize(800, 540));
        QCOMPARE(flags, Qt::Dialog | Qt::FramelessWindowHint);
        QCOMPARE(barCaption, QStringLiteral("Снимок"));
    }

    void chooseFileOpen_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("chosen");
        QTest::newRow("existing file") << "open" << "panels.json" << true;
        QTest::newRow("cancel") << "cancel" << "panels.json" << false;
        QTest::newRow("escape") << "escape" << "panels.json" << false;
        QTest::newRow("title bar close") << "close" << "panels.json" << false;
        // A missing file cannot be opened: the dialog stays open until cancelled.
        QTest::newRow("missing file") << "missing" << "absent.json" << false;
    }

    void chooseFileOpen()
    {
        QFETCH(QString, action);
        QFETCH(QString, typed);
        QFETCH(bool, chosen);

        QFile existing(dir.filePath(QStringLiteral("panels.json")));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.close();

        QStringList labels;
        whenModal(this, [&](QWidget *dialog) {
            auto *files = qobject_cast<QFileDialog *>(dialog);
            QVERIFY(files);
            labels << files->labelText(QFileDialog::LookIn)
                   << files->labelText(QFileDialog::FileName)
                   << files->labelText(QFileDialog::FileType)
                   << files->labelText(QFileDialog::Accept)
                   << files->labelText(QFileDialog::Reject);
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            QVERIFY(name);
            QTest::keyClicks(name, typed);
            if (action == QLatin1String("open")) {
                QTest::mouseClick(buttonWithText(dialog, QStringLiteral("Открыть")),
                                  Qt::LeftButton);
            } else if (action == QLatin1String("missing")) {
                QTest::mouseClick(buttonWithText(dialog, QStringLiteral("Открыть")),
                                  Qt::LeftButton);
                QVERIFY(dialog->isVisible());
                QTest::mouseClick(buttonWithText(dialog, QStringLiteral("Отмена")),
                                  Qt::LeftButton);
            } else if (action == QLatin1String("cancel")) {
                QTest::mouseClick(buttonWithText(dialog, QStringLiteral("Отмена")),
                                  Qt::LeftButton);
            } else if (action == QLatin1String("escape")) {
                QTest::keyClick(keyTarget(dialog), Qt::Key_Escape);
            } else {
                QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("windowClose")),
                                  Qt::LeftButton);
            }
        });
        const QString result = chooseFile(nullptr, QStringLiteral("Импорт"), dir.path(),
                                          QStringLiteral("Адресная книга (*.json)"), false);
        QCOMPARE(result, chosen ? dir.filePath(typed) : QString());
        QCOMPARE(labels, (QStringList{"Папка", "Имя файла", "Тип файла", "Открыть", "Отмена"}));
    }

    // A dialog's owner can vanish while the dialog runs (a session closed
    // under its notice); the helpers must return normally, not free twice.
    void ownerDestroyedWhileRunning_data()
    {
        QTest::addColumn<QString>("helper");
        QTest::newRow("confirm") << "confirm";
        QTest::newRow("notify") << "notify";
        QTest::newRow("chooseFile") << "chooseFile";
    }

    void ownerDestroyedWhileRunning()
    {
        QFETCH(QString, helper);
        auto *owner = new QWidget;
        owner->show();
        whenModal(this, [owner](QWidget *) { owner->deleteLater(); });
        if (helper == QLatin1String("confirm")) {
            QCOMPARE(confirm(owner, QStringLiteral("Вопрос"), QStringLiteral("Текст")), false);
        } else if (helper == QLatin1String("notify")) {
            notify(owner, QStringLiteral("Сообщение"), QStringLiteral("Текст"));
        } else {
            QCOMPARE(chooseFile(owner, QStringLiteral("Снимок"), dir.path(),
                                QStringLiteral("PNG (*.png)"), true),
                     QString());
        }
    }
};

QTEST_MAIN(TestChromeDialog)
#include "tst_chromedialog.moc"
