// The main window as the operator drives it: sessions in tabs and cells with the status line,
// selection, expansion, closing with its question, full screen, duplicating and deleting panels
// (with the real keyring), two real Xvnc panels opened from the address book, the workspace and
// journal across a restart, leaving the program, the address book's import and export, and a
// panel added and changed through the profile editor; the questions about panels' certificates,
// one at a time, and the pins they leave in the book and in an open editor.
#include "certificatefacts.h"
#include "certificatequestions.h"
#include "credentialstore.h"
#include "mainwindow.h"
#include "profileeditor.h"
#include "servedpanel.h"
#include "session.h"
#include "underwine.h"
#include "userprompts.h"
#include "xvncserver.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QSettings>
#include <QSpinBox>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QWindow>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <utility>

namespace {

// Answers the window's questions from a list (no answer left: declines) and records them.
class Answers : public UserPrompts
{
public:
    QStringList asked;
    QList<bool> replies;
    QStringList files; // answers to the file dialog, in order; none left: cancelled

    bool confirm(QWidget *, const QString &title, const QString &text) override
    {
        asked << title + QStringLiteral(" | ") + text;
        return !replies.isEmpty() && replies.takeFirst();
    }
    void notify(QWidget *, const QString &title, const QString &text) override
    {
        asked << title + QStringLiteral(" | ") + text;
    }
    QString chooseFile(
        QWidget *, const QString &title, const QString &, const QString &, bool) override
    {
        asked << title;
        return files.isEmpty() ? QString() : files.takeFirst();
    }

    QList<CertificateFacts> certificates; // the certificate questions, in order
    QList<bool> trust; // their answers; none left: "Отмена"
    std::function<void()> whileAsked; // runs inside each question, as its event loop would
    int depth = 0;
    int deepest = 0;
    int closed = 0;

    bool trustCertificate(QWidget *, const CertificateFacts &facts) override
    {
        certificates << facts;
        deepest = std::max(deepest, ++depth);
        if (whileAsked)
            whileAsked();
        --depth;
        return !trust.isEmpty() && trust.takeFirst();
    }
    void closeCertificateQuestion() override { ++closed; }
};

// The keys an accepted close writes; a test that closes starts without them.
void forgetWorkspace()
{
    QSettings settings;
    for (const char *key : { "workspaceV2", "journalV2", "windowGeometry" })
        settings.remove(QLatin1String(key));
}

PanelProfile panel(const QString &name, quint16 port, bool remember = false)
{
    PanelProfile p = PanelProfile::createNew();
    p.name = name;
    p.host = QStringLiteral("127.0.0.1");
    p.port = port;
    p.remember = remember;
    return p;
}

// A window over a freshly stored address book, with its questions answered by `answers`.
struct Rig
{
    Answers *answers = new Answers;
    std::unique_ptr<MainWindow> window;

    explicit Rig(const AddressBook &book)
    {
        saveProfiles(book);
        window = std::make_unique<MainWindow>();
        window->setPrompts(std::unique_ptr<UserPrompts>(answers));
    }
    QString status()
    {
        window->updateStatusLine();
        for (QLabel *label : window->findChildren<QLabel *>())
            if (label->accessibleName() == QStringLiteral("Строка состояния"))
                return label->text();
        return QStringLiteral("no status line");
    }
    void choosePanel(int index)
    {
        auto *tree = window->findChild<QTreeWidget *>(QStringLiteral("addressBook"));
        const QString id = window->addressBook().at(index).id;
        for (QTreeWidgetItem *item :
            tree->findItems(QString(), Qt::MatchContains | Qt::MatchRecursive))
            if (item->data(0, Qt::UserRole).toString() == id)
                tree->setCurrentItem(item);
    }
    void trigger(const QString &text)
    {
        for (QAction *action : window->findChildren<QAction *>())
            if (action->text() == text)
                action->trigger();
    }
    QPushButton *button(const QString &name)
    {
        for (QPushButton *b : window->findChildren<QPushButton *>())
            if (b->accessibleName() == name)
                return b;
        return nullptr;
    }
};

// Once the profile editor runs modally: types `typed` (field label -> text; an existing text is
// replaced) as a user would, then presses "Сохранить"; a refusal's message goes to *error.
void typeIntoEditor(
    QObject *context, const QList<QPair<QString, QString>> &typed, QString *error = nullptr)
{
    auto *poll = new QTimer(context);
    QObject::connect(poll, &QTimer::timeout, context, [poll, typed, error] {
        auto *editor = qobject_cast<ProfileEditor *>(QApplication::activeModalWidget());
        if (!editor)
            return;
        poll->deleteLater();
        for (const auto &[label, text] : typed) {
            for (QAbstractSpinBox *field : editor->findChildren<QAbstractSpinBox *>())
                if (field->accessibleName() == label) {
                    field->selectAll();
                    QTest::keyClicks(field, text);
                }
            for (QLineEdit *field : editor->findChildren<QLineEdit *>())
                if (field->accessibleName() == label) {
                    field->clear();
                    QTest::keyClicks(field, text);
                }
        }
        for (QPushButton *button : editor->findChildren<QPushButton *>())
            if (button->text() == QStringLiteral("Сохранить"))
                button->click();
        if (error)
            *error = editor->findChild<QLabel *>(QStringLiteral("error"))->text();
        if (editor->isVisible())
            editor->reject(); // Save refused the fields
    });
    poll->start(10);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tabsCellsAndTheStatusLine();
    void expandAndReturn();
    void closeAsksOnlyWhileEngaged();
    void fullScreenFromMaximisedAndBack();
    void duplicateAndDelete();
    void twoXvncPanelsSideBySide();
    void restartThroughTheSettings();
    void leavingAsksOnceAndKeepsGeometry();
    void importAndExport();
    void panelAddedAndChangedThroughTheEditor();
    void failedSettingsWriteIsTold_data();
    void failedSettingsWriteIsTold();
    void certificateQuestionsOneAtATime();
    void trustReachesAnOpenEditor();
};

void TestMainWindow::initTestCase()
{
    // Without an organisation every settings write fails; on Windows this keeps the user's key.
    QCoreApplication::setOrganizationName(QStringLiteral("PelorinTests"));
    QCoreApplication::setApplicationName(QStringLiteral("PelorinVNC"));
}

void TestMainWindow::tabsCellsAndTheStatusLine()
{
    Rig rig({ panel("A", 1), panel("B", 1), panel("C", 1) });
    const AddressBook &book = rig.window->addressBook();
    for (const PanelProfile &p : book)
        QVERIFY(rig.window->openSession(p.id, false));
    QVERIFY(!rig.window->openSession(QStringLiteral("no-such-id"), false));
    QCOMPARE(rig.window->openSession(book.at(2).id, false), rig.window->openSessions().at(2));
    QCOMPARE(rig.status(),
        QStringLiteral("Открыто: 3 · на связи: 0 · скрыто: 2 (доступны во вкладках) · выбрана: C"));

    // A session in a non-current tab cannot take the selection.
    emit rig.window->openSessions().at(0)->activationRequested();
    QCOMPARE(rig.window->selected(), rig.window->openSessions().at(2));

    QVERIFY(QMetaObject::invokeMethod(rig.window.get(), "setLayoutMode", Q_ARG(int, 2)));
    QCOMPARE(rig.window->findChild<QComboBox *>(QStringLiteral("layoutChoice"))->currentText(),
        QStringLiteral("2 панели"));
    QCOMPARE(rig.window->findChild<QComboBox *>(QStringLiteral("slot1"))->currentText(),
        QStringLiteral("B"));
    // The selectors list the book as at the last rebuild: deleting B leaves its cell's as it was.
    rig.choosePanel(1);
    rig.answers->replies = { true };
    rig.window->deleteProfile();
    QCOMPARE(rig.window->findChild<QComboBox *>(QStringLiteral("slot1"))->currentText(),
        QStringLiteral("B"));
    QVERIFY(!rig.window->findChild<QComboBox *>(QStringLiteral("slot2")));
    QCOMPARE(rig.status(),
        QStringLiteral("Открыто: 3 · на связи: 0 · скрыто: 1 (доступны во вкладках) · выбрана: A"));

    // The selector's first item empties the cell; the session stays open, hidden.
    auto *slot0 = rig.window->findChild<QComboBox *>(QStringLiteral("slot0"));
    emit slot0->activated(0);
    QTRY_COMPARE(rig.window->cellRules().cellId(0), QString());
    QCOMPARE(rig.status(),
        QStringLiteral("Открыто: 3 · на связи: 0 · скрыто: 2 (доступны во вкладках) · выбрана: B"));
}

void TestMainWindow::expandAndReturn()
{
    Rig rig({ panel("A", 1), panel("B", 1) });
    rig.window->setLayoutMode(2);
    Session *a = rig.window->openSession(rig.window->addressBook().at(0).id, false);
    Session *b = rig.window->openSession(rig.window->addressBook().at(1).id, false);

    emit a->expandRequested();
    QCOMPARE(rig.window->expanded(), a);
    QCOMPARE(rig.status(),
        QStringLiteral("Открыто: 2 · на связи: 0 · скрыто: 1 (доступны во вкладках) · выбрана: A"));
    rig.button(QStringLiteral("← Вернуться к раскладке"))->click();
    QTRY_VERIFY(!rig.window->expanded());
    QCOMPARE(rig.window->selected(), a);

    // Closing the expanded (idle) session asks nothing and returns to the cells.
    emit b->expandRequested();
    emit b->closeRequested();
    QTRY_COMPARE(rig.window->openSessions().size(), 1);
    QVERIFY(!rig.window->expanded());
    QVERIFY(rig.answers->asked.isEmpty());
    QCOMPARE(rig.window->cellRules().cellIds(), QStringList({ a->profileId(), "", "", "" }));
}

void TestMainWindow::closeAsksOnlyWhileEngaged()
{
    // A listener that never answers keeps the session connecting.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    PanelProfile p = panel("Пресс «2»", silent.serverPort(), true);
    p.password = QStringLiteral("pw");
    QVERIFY2(CredentialStore::writePassword(p), "the test keyring is not reachable");
    Rig rig({ p });

    Session *s = rig.window->openSession(p.id, true);
    QVERIFY(s->isEngaged());
    rig.window->closeSession(s);
    QCOMPARE(rig.answers->asked, QStringList("Закрыть сеанс | Отключить панель «Пресс «2»»?"));
    QCOMPARE(rig.window->openSessions().size(), 1);
    QCOMPARE(rig.window->selected(), s);

    rig.answers->replies = { true };
    rig.window->closeSession(s);
    QVERIFY(rig.window->openSessions().isEmpty());
    QVERIFY(rig.button(QStringLiteral("+  Добавить панель")));
    CredentialStore::deletePassword(p);
}

void TestMainWindow::fullScreenFromMaximisedAndBack()
{
    Rig rig({});
    rig.window->showMaximized();
    rig.window->toggleFullScreen();
    QVERIFY(rig.window->isFullScreen());
    QVERIFY(rig.button(QStringLiteral("Выйти из полного экрана")));
    rig.window->toggleFullScreen();
    QVERIFY(!rig.window->isFullScreen());
    QVERIFY(rig.window->isMaximized());
    QVERIFY(rig.button(QStringLiteral("Полный экран")));

    // The minimum is fitted again on the screen the window moves to.
    rig.window->setMinimumSize(0, 0);
    emit rig.window->windowHandle()->screenChanged(rig.window->screen());
    QCOMPARE(rig.window->minimumSize(),
        QSize(1100, 700).boundedTo(rig.window->screen()->availableGeometry().size()));

    // A maximised window comes back maximised.
    forgetWorkspace();
    QVERIFY(rig.window->close());
    Rig next({});
    next.window->show();
    QVERIFY(next.window->isMaximized());
}

void TestMainWindow::duplicateAndDelete()
{
    PanelProfile source = panel("Линия 1", 5900, true);
    source.group = QStringLiteral("Цех");
    source.password = QStringLiteral("kept");
    // The pin belongs to the record: the copy is the same panel.
    source.encryption = PanelProfile::Encryption::Required;
    source.userName = QStringLiteral("ivan");
    source.certificateSha256 = QString(64, QLatin1Char('d'));
    QVERIFY2(CredentialStore::writePassword(source), "the test keyring is not reachable");
    // At the cut for " — копия" (8 characters) sits a surrogate pair.
    const QString longName = QString(191, u'Д') + QStringLiteral("\U0001F600x");
    Rig rig({ panel(longName, 5900), source });
    rig.choosePanel(1);

    rig.window->duplicateProfile();
    const AddressBook &book = rig.window->addressBook();
    QCOMPARE(book.size(), 3);
    PanelProfile expected = book.at(1);
    expected.id = book.at(2).id;
    expected.name = QStringLiteral("Линия 1 — копия");
    expected.remember = false;
    QCOMPARE(book.at(2), expected);
    QCOMPARE(book.at(2).certificateSha256, source.certificateSha256);
    QVERIFY(book.at(2).id != source.id);
    QCOMPARE(loadProfiles(), book);
    QCOMPARE(rig.window->currentProfileIndex(), 1);
    QCOMPARE(CredentialStore::readPassword(source.id), QStringLiteral("kept"));

    rig.window->deleteProfile();
    QCOMPARE(rig.answers->asked,
        QStringList("Удалить панель | Удалить «Линия 1» из адресной книги? "
                    "Открытые сеансы останутся до закрытия."));
    QCOMPARE(book.size(), 3);

    rig.answers->replies = { true };
    rig.window->deleteProfile();
    QCOMPARE(book.size(), 2);
    QCOMPARE(profileIndexById(book, source.id), -1);
    QCOMPARE(loadProfiles(), book);
    QCOMPARE(CredentialStore::readPassword(source.id), QString());
    QCOMPARE(rig.window->currentProfileIndex(), 0);

    // A copy of a long name is shortened to the limit an import of our export holds it to.
    rig.window->duplicateProfile();
    QCOMPARE(book.last().name, QString(191, u'Д') + QStringLiteral(" — копия"));
}

void TestMainWindow::twoXvncPanelsSideBySide()
{
    XVNC_NEEDED();
    XvncServer first;
    XvncServer second;
    QVERIFY2(first.start(QSize(640, 400), QStringLiteral("one")), qPrintable(first.errorString()));
    QVERIFY2(
        second.start(QSize(640, 400), QStringLiteral("two")), qPrintable(second.errorString()));
    PanelProfile a = panel("Первая", first.port(), true);
    a.password = QStringLiteral("one");
    PanelProfile b = panel("Вторая", second.port(), true);
    b.password = QStringLiteral("two");
    QVERIFY(CredentialStore::writePassword(a));
    QVERIFY(CredentialStore::writePassword(b));
    Rig rig({ a, b });
    rig.window->show();

    rig.window->findChild<QComboBox *>(QStringLiteral("layoutChoice"))->setCurrentIndex(1);
    for (int i : { 0, 1 }) {
        rig.choosePanel(i);
        rig.button(QStringLiteral("Открыть панель →"))->click();
    }
    const QList<Session *> &open = rig.window->openSessions();
    QCOMPARE(open.size(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(open.at(0)->isLive() && open.at(1)->isLive(), 10000);
    QCOMPARE(rig.status(), QStringLiteral("Открыто: 2 · на связи: 2 · выбрана: Вторая"));
    QCOMPARE(rig.window->cellRules().cellIds(), QStringList({ a.id, b.id, "", "" }));
    CredentialStore::deletePassword(a);
    CredentialStore::deletePassword(b);
}

void TestMainWindow::restartThroughTheSettings()
{
    forgetWorkspace();
    Rig rig({ panel("A", 1), panel("B", 1), panel("C", 1) });
    const AddressBook book = rig.window->addressBook();
    rig.window->setLayoutMode(4);
    for (const PanelProfile &p : book)
        rig.window->openSession(p.id, false);
    // B leaves its cell (open, hidden); C's panel is deleted while its session stays.
    rig.window->chooseCellPanel(1, QString());
    rig.window->openSessions().at(0)->setZoomIndex(4);
    rig.window->openSessions().at(1)->findChild<QCheckBox *>(QStringLiteral("viewOnly"))->click();
    rig.choosePanel(2);
    rig.answers->replies = { true };
    rig.window->deleteProfile();
    rig.window->selectSession(rig.window->openSessions().at(0));
    rig.button(QStringLiteral("Показать / скрыть адресную книгу"))->click();

    // Destroyed without a close: nothing is saved.
    {
        MainWindow unsaved;
    }
    QVERIFY(!QSettings().contains(QStringLiteral("workspaceV2")));

    QVERIFY(rig.window->close());
    QCOMPARE(rig.answers->asked.size(), 1); // only the deletion asked
    QVERIFY(rig.window->journalLines().last().endsWith(
        QStringLiteral("C · 127.0.0.1:1 · Отключено пользователем")));

    Rig next(loadProfiles());
    const QList<Session *> &open = next.window->openSessions();
    QCOMPARE(open.size(), 2);
    QVERIFY(!open.at(0)->isEngaged() && !open.at(1)->isEngaged());
    QCOMPARE(open.at(0)->zoomIndex(), 4);
    QCOMPARE(open.at(1)->profile().viewOnly, true);
    QCOMPARE(next.window->cellRules().layoutMode(), 4);
    QCOMPARE(
        next.window->cellRules().cellIds(), QStringList({ book.at(0).id, "", book.at(2).id, "" }));
    QVERIFY(next.window->findChild<QWidget *>(QStringLiteral("sidebar"))->isHidden());
    QCOMPARE(next.status(),
        QStringLiteral("Открыто: 2 · на связи: 0 · скрыто: 1 (доступны во вкладках) · выбрана: A"));
    QCOMPARE(next.window->journalLines(), rig.window->journalLines());
}

void TestMainWindow::leavingAsksOnceAndKeepsGeometry()
{
    forgetWorkspace();
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    PanelProfile busy = panel("Busy", silent.serverPort(), true);
    busy.password = QStringLiteral("pw");
    QVERIFY2(CredentialStore::writePassword(busy), "the test keyring is not reachable");
    Rig rig({ panel("Idle", 1), busy });
    rig.window->show();
    rig.window->openSession(rig.window->addressBook().at(0).id, false);
    QVERIFY(rig.window->close());
    QVERIFY(rig.answers->asked.isEmpty());
    const QByteArray geometry = QSettings().value(QStringLiteral("windowGeometry")).toByteArray();
    QVERIFY(!geometry.isEmpty());

    Rig next(loadProfiles());
    next.window->sizeForCapture(); // the stored size at least the minimum, not the designed one
    QCOMPARE(next.window->size(), rig.window->size().expandedTo(QSize(1100, 700)));
    next.window->show();
    next.window->openSession(busy.id, true);
    next.window->toggleFullScreen();
    QVERIFY(!next.window->close());
    QCOMPARE(next.window->openSessions().size(), 2);
    next.answers->replies = { true };
    QVERIFY(next.window->close());
    QCOMPARE(next.answers->asked,
        QStringList(2, QStringLiteral("Выход | Отключить все панели и закрыть программу?")));
    QCOMPARE(QSettings().value(QStringLiteral("windowGeometry")).toByteArray(), geometry);
    QVERIFY(next.window->journalLines().last().endsWith(QStringLiteral("Отключено пользователем")));
    QCOMPARE(
        QSettings().value(QStringLiteral("journalV2")).toStringList(), next.window->journalLines());
    CredentialStore::deletePassword(busy);
}

void TestMainWindow::importAndExport()
{
    forgetWorkspace();
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("book.json"));
    const QString refused = dir.filePath(QStringLiteral("refused.json"));
    QFile bad(refused);
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write("[]");
    bad.close();
    Rig rig({ panel("A", 1) });
    const AddressBook before = rig.window->addressBook();

    rig.answers->files = { file, refused, file, file, file };
    rig.answers->replies = { false, true, true };
    rig.trigger(QStringLiteral("Экспорт без паролей…"));
    for (int i = 0; i < 4; ++i)
        rig.trigger(QStringLiteral("Импорт адресной книги…"));
    const QString question = QStringLiteral("Импорт | Добавить 1 панелей? Существующие записи "
                                            "сохранятся. Пароли из файла не импортируются.");
    QCOMPARE(rig.answers->asked,
        QStringList({ "Экспорт без паролей",
            "Экспорт | Адресная книга сохранена. Пароли в файл не включены.",
            "Импорт адресной книги", "Импорт | Ожидается адресная книга Пелорин версии 2.",
            "Импорт адресной книги", question, "Импорт адресной книги", question,
            "Импорт адресной книги", question }));

    // The declined and the refused file changed nothing; each accepted one added A anew.
    const AddressBook &book = rig.window->addressBook();
    QCOMPARE(book.size(), 3);
    QCOMPARE(loadProfiles(), book);
    const QSet<QString> ids { book.at(0).id, book.at(1).id, book.at(2).id };
    QCOMPARE(ids.size(), 3);
    QCOMPARE(book.at(2).name, before.at(0).name);
    QCOMPARE(rig.window->journalLines().size(), 2);
    QVERIFY(rig.window->journalLines().last().endsWith(
        QStringLiteral("  Импорт адресной книги: 1 панелей")));
}

void TestMainWindow::panelAddedAndChangedThroughTheEditor()
{
    XVNC_NEEDED();
    forgetWorkspace();
    XvncServer xvnc;
    QVERIFY2(xvnc.start(QSize(640, 400), QStringLiteral("pw")), qPrintable(xvnc.errorString()));
    Rig rig({ panel("Idle", 1) });
    rig.window->show();
    rig.window->setLayoutMode(2);
    const AddressBook &book = rig.window->addressBook();
    Session *idle = rig.window->openSession(book.at(0).id, false);
    const QPointer<QComboBox> slot1 = rig.window->findChild<QComboBox *>(QStringLiteral("slot1"));

    // Added with the password typed but not remembered: it still serves this run.
    typeIntoEditor(rig.window.get(),
        { { "Название", "Press 1" }, { "IP / имя хоста", " 127.0.0.1 " },
            { "Порт", QString::number(xvnc.port()) }, { "Пароль", "pw" } });
    rig.button(QStringLiteral("+  Новая панель"))->click();
    QCOMPARE(book.size(), 2);
    QCOMPARE(loadProfiles().at(1).host, QStringLiteral("127.0.0.1"));
    QCOMPARE(rig.window->currentProfileIndex(), 1);
    QCoreApplication::processEvents(); // no rebuild of the page: the selectors list it later
    QVERIFY(slot1 && slot1->count() == 2);
    rig.button(QStringLiteral("Открыть панель →"))->click();
    Session *live = rig.window->openSessions().at(1);
    QTRY_VERIFY_WITH_TIMEOUT(live->isLive(), 10000);

    // A connected session keeps its record; an idle one takes the new one.
    typeIntoEditor(rig.window.get(), { { "Название", "Press 2" }, { "IP / имя хоста", "::1" } });
    rig.button(QStringLiteral("Изменить"))->click();
    QCOMPARE(book.at(1).name, QStringLiteral("Press 2"));
    QCOMPARE(live->profile().name, QStringLiteral("Press 1"));
    QCOMPARE(live->profile().host, QStringLiteral("127.0.0.1"));

    auto *search = rig.window->findChild<QLineEdit *>();
    search->setText(QStringLiteral("Idle"));
    typeIntoEditor(rig.window.get(), { { "Название", "Renamed" } });
    rig.button(QStringLiteral("Изменить"))->click();
    QCOMPARE(idle->profile(), book.at(0));
    QCOMPARE(idle->profile().name, QStringLiteral("Renamed"));
    QCOMPARE(search->text(), QString());
    QCOMPARE(rig.window->currentProfileIndex(), 0);
}

void TestMainWindow::failedSettingsWriteIsTold_data()
{
    QTest::addColumn<QString>("operation"); // the button or menu entry
    QTest::addColumn<QString>("told"); // the notice, or the editor's message
    // Of the book in memory afterwards: as the user made it, or as it was when the editor was
    // cancelled after the refusal.
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("password"); // typed into the editor, over the stored "old"
    const QString book = QStringLiteral("Не удалось записать адресную книгу в настройки. Изменения "
                                        "действуют до закрытия программы; проверьте доступ к "
                                        "настройкам и свободное место на диске.");
    const QString none;
    QTest::newRow("editor, then Cancel") << "Изменить" << book << 2 << "old";
    // The keyring after Cancel is the keyring before, though the editor had stored the new one.
    QTest::newRow("editor, new password, then Cancel") << "Изменить" << book << 2 << "new";
    QTest::newRow("duplicate")
        << "Дублировать панель" << "Дублировать панель | " + book << 3 << none;
    QTest::newRow("delete") << "Удалить панель" << "Удалить панель | " + book << 1 << none;
    QTest::newRow("import") << "Импорт адресной книги…" << "Импорт | " + book << 4 << none;
    QTest::newRow("close") << "Выход"
                           << "Выход | Не удалось записать в настройки: рабочее пространство, "
                              "журнал. Проверьте доступ к настройкам и свободное место на диске."
                           << 2 << none;
}

void TestMainWindow::failedSettingsWriteIsTold()
{
#ifdef Q_OS_WIN
    QSKIP("The registry key cannot be made read-only from here.");
#else
    QFETCH(QString, operation);
    QFETCH(QString, password);
    forgetWorkspace();
    QTemporaryDir dir;
    PanelProfile a = panel("A", 1, true);
    a.password = QStringLiteral("old");
    QVERIFY2(CredentialStore::writePassword(a), "the test keyring is not reachable");
    const auto forget = qScopeGuard([a] { CredentialStore::deletePassword(a); });
    Rig rig({ a, panel("B", 1) });
    rig.answers->files = QStringList(2, dir.filePath(QStringLiteral("book.json")));
    rig.trigger(QStringLiteral("Экспорт без паролей…")); // for the import
    rig.answers->replies = { true };
    rig.choosePanel(0);
    const QPointer<Session> idle
        = rig.window->openSession(rig.window->addressBook().at(0).id, false);

    // A read-only settings file; root writes one anyway, so then a folder takes its place.
    const QString settingsFile = QSettings().fileName();
    QSettings().sync();
    QFile::setPermissions(settingsFile, QFile::ReadOwner);
    if (QFile probe(settingsFile); probe.open(QIODevice::ReadWrite))
        QVERIFY(QFile::remove(settingsFile) && QDir().mkpath(settingsFile));
    const auto writable = qScopeGuard([settingsFile] {
        QDir(settingsFile).removeRecursively();
        QFile::setPermissions(settingsFile, QFile::ReadOwner | QFile::WriteOwner);
    });

    QString told;
    if (operation == QStringLiteral("Изменить"))
        typeIntoEditor(
            rig.window.get(), { { "Название", "Renamed" }, { "Пароль", password } }, &told);
    if (QPushButton *button = rig.button(operation))
        button->click();
    else
        rig.trigger(operation);
    QTEST(told.isEmpty() ? rig.answers->asked.last() : told, "told");
    QCOMPARE(rig.answers->asked.filter(QStringLiteral("Не удалось")).size(), told.isEmpty() ? 1 : 0);
    QTEST(int(rig.window->addressBook().size()), "size");
    if (!told.isEmpty()) {
        QCOMPARE(rig.window->addressBook().at(0).name, QStringLiteral("A"));
        QCOMPARE(idle->profile().name, QStringLiteral("A"));
        QCOMPARE(CredentialStore::readPassword(a.id), QStringLiteral("old"));
    }
#endif
}

// Four records of one panel served over TLS: each asks once,
// one question at a time; the trusted pin goes into the book and its store, a refusal leaves
// none, and an answer to a question whose attempt ended meanwhile is dropped.
void TestMainWindow::certificateQuestionsOneAtATime()
{
    if (runningUnderWine())
        QSKIP("wine's Schannel cannot serve TLS");
    forgetWorkspace();
    TlsServedPanel served(QStringLiteral("demo"));
    QVERIFY2(served.ready, qPrintable(served.errorString()));
    const TestCertificate &cert = served.certificate;
    AddressBook records;
    for (const char *name : { "Пресс А", "Пресс Б", "Пресс В", "Пресс Г" }) {
        records << panel(QString::fromUtf8(name), served.server.serverPort());
        records.last().encryption = PanelProfile::Encryption::Required;
    }
    Rig rig(records);
    const AddressBook &book = rig.window->addressBook();
    QList<Session *> open;
    for (int i = 0; i < 4; ++i) {
        open << rig.window->openSession(book.at(i).id, false);
        PanelProfile withPassword = open.last()->profile();
        withPassword.password = QStringLiteral("demo");
        open.last()->applyProfile(withPassword);
    }

    // While one question is open the others wait; the first is trusted, the second refused.
    rig.answers->trust = { true, false };
    rig.answers->whileAsked = [] { QTest::qWait(100); };
    open.at(0)->startConnection();
    open.at(1)->startConnection();
    QTRY_COMPARE(rig.answers->certificates.size(), 2);
    QCOMPARE(rig.answers->deepest, 1);
    const CertificateFacts &asked = rig.answers->certificates.at(0);
    QCOMPARE(asked.panelName, QStringLiteral("Пресс А"));
    QCOMPARE(asked.address, QStringLiteral("127.0.0.1 : %1").arg(served.server.serverPort()));
    QCOMPARE(asked.sha256, cert.sha256());
    QVERIFY(asked.hostNamed);
    QCOMPARE(rig.answers->certificates.at(1).panelName, QStringLiteral("Пресс Б"));
    QTRY_VERIFY(open.at(0)->isLive());
    QTRY_VERIFY(!open.at(1)->isEngaged());

    const QString pin = PanelProfile::pinFromDigest(cert.sha256());
    QCOMPARE(book.at(0).certificateSha256, pin);
    QCOMPARE(loadProfiles().at(0).certificateSha256, pin);
    QVERIFY(book.at(1).certificateSha256.isEmpty());
    const QString prefix
        = QStringLiteral("Пресс А · 127.0.0.1:%1 · ").arg(served.server.serverPort());
    const QString trusted = QStringLiteral("Сертификат панели принят оператором: SHA-256 ")
        + PanelProfile::groupedFingerprint(pin);
    QCOMPARE(rig.window->journalLines().filter(prefix + trusted).size(), 1);

    // Connected again with the book's record: the pin decides, nobody is asked.
    open.at(0)->disconnectByUser();
    PanelProfile again = book.at(0);
    again.password = QStringLiteral("demo");
    open.at(0)->applyProfile(again);
    open.at(0)->startConnection();
    QTRY_VERIFY(open.at(0)->isLive());
    QCOMPARE(rig.answers->certificates.size(), 2);

    // While the third record is asked, its attempt ends and a new one waits on the same
    // certificate, and the fourth's attempt ends while it waits its turn. The open question is
    // closed (once for the end, once for the new attempt's question) and its answer, trust,
    // goes nowhere; the new attempt is asked in turn (and refused); the fourth is never asked.
    Session *third = open.at(2);
    Session *fourth = open.at(3);
    rig.answers->trust = { true, false };
    bool once = false;
    rig.answers->whileAsked = [third, fourth, &once] {
        if (std::exchange(once, true))
            return;
        QTRY_VERIFY(!fourth->awaitedCertificate().isEmpty());
        third->disconnectByUser();
        fourth->disconnectByUser();
        third->startConnection();
        QTRY_VERIFY(!third->awaitedCertificate().isEmpty());
    };
    third->startConnection();
    fourth->startConnection();
    QTRY_COMPARE(rig.answers->certificates.size(), 4);
    QCOMPARE(rig.answers->certificates.at(3).panelName, QStringLiteral("Пресс В"));
    QCOMPARE(rig.answers->closed, 2);
    QTRY_VERIFY(!third->isEngaged());
    QTest::qWait(50);
    QCOMPARE(rig.answers->certificates.size(), 4);
    for (int i : { 2, 3 }) {
        QVERIFY(book.at(i).certificateSha256.isEmpty());
        QVERIFY(open.at(i)->profile().certificateSha256.isEmpty());
        QVERIFY(!open.at(i)->isEngaged());
    }
    QVERIFY(!rig.window->certificateQuestions()->isAsking());
    QCOMPARE(rig.window->certificateQuestions()->pending(), 0);
}

// A pin trusted while the editor is open on the same record survives the editor's Save.
void TestMainWindow::trustReachesAnOpenEditor()
{
    forgetWorkspace();
    PanelProfile record = panel("Пресс", 5901);
    record.encryption = PanelProfile::Encryption::Required;
    Rig rig({ record });
    const QByteArray sha = QCryptographicHash::hash("a certificate", QCryptographicHash::Sha256);
    const QString grouped = PanelProfile::groupedFingerprint(PanelProfile::pinFromDigest(sha));
    bool shown = false;
    auto *poll = new QTimer(rig.window.get());
    QObject::connect(poll, &QTimer::timeout, rig.window.get(), [&] {
        auto *editor = qobject_cast<ProfileEditor *>(QApplication::activeModalWidget());
        if (!editor)
            return;
        poll->stop();
        rig.window->keepTrustedCertificate(record.id, sha);
        for (QLabel *label : editor->findChildren<QLabel *>())
            shown = shown || (label->text() == grouped && label->isVisibleTo(editor));
        for (QPushButton *button : editor->findChildren<QPushButton *>())
            if (button->text() == QStringLiteral("Сохранить"))
                button->click();
    });
    poll->start(10);
    rig.choosePanel(0);
    rig.button(QStringLiteral("Изменить"))->click();
    QVERIFY(shown);
    QCOMPARE(rig.window->addressBook().at(0).certificateSha256, PanelProfile::pinFromDigest(sha));
    QCOMPARE(loadProfiles().at(0).certificateSha256, PanelProfile::pinFromDigest(sha));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
