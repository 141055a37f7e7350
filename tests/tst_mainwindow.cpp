// The main window as the operator drives it: tabs and cells with the status line, selection,
// expansion, closing with its question, full screen, duplicating and deleting panels (with the
// real keyring), and two real Xvnc panels opened from the address book.
#include "credentialstore.h"
#include "mainwindow.h"
#include "session.h"
#include "userprompts.h"
#include "xvncserver.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTcpServer>
#include <QTreeWidget>
#include <QtTest>

namespace {

// Answers the window's questions from a list (none left: declines) and records them.
struct Answers : UserPrompts
{
    QStringList asked;
    QList<bool> replies;
    bool confirm(QWidget *, const QString &title, const QString &text) override
    {
        asked << title + QStringLiteral(" | ") + text;
        return !replies.isEmpty() && replies.takeFirst();
    }
};

PanelProfile panel(const QString &name, quint16 port, const QString &password = QString())
{
    PanelProfile p = PanelProfile::createNew();
    p.name = name;
    p.host = QStringLiteral("127.0.0.1");
    p.port = port;
    // A remembered password spares the prompt; the keyring is the test's own.
    p.password = password;
    p.remember = !password.isEmpty();
    if (p.remember && !CredentialStore::writePassword(p))
        qFatal("the test keyring is not reachable");
    return p;
}

// A window over a freshly stored address book.
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
    Session *open(int index, bool connect = false)
    {
        return window->openSession(window->addressBook().at(index).id, connect);
    }
    template<typename T = QPushButton> T *named(const QString &name)
    {
        for (T *widget : window->findChildren<T *>())
            if (widget->accessibleName() == name || widget->objectName() == name)
                return widget;
        return nullptr;
    }
    QString status()
    {
        window->updateStatusLine();
        return named<QLabel>("Строка состояния")->text();
    }
    void choosePanel(int index)
    {
        auto *tree = named<QTreeWidget>(QStringLiteral("addressBook"));
        for (QTreeWidgetItem *item : tree->findItems({}, Qt::MatchContains | Qt::MatchRecursive))
            if (item->data(0, Qt::UserRole) == window->addressBook().at(index).id)
                tree->setCurrentItem(item);
    }
};

const QString hidden = QStringLiteral(" · скрыто: %1 (доступны во вкладках)");

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:

    void tabsCellsAndTheStatusLine()
    {
        Rig rig({ panel("A", 1), panel("B", 1), panel("C", 1) });
        Session *a = rig.open(0);
        rig.open(1);
        rig.open(2);
        QVERIFY(!rig.window->openSession(QStringLiteral("no-such-id")));
        QCOMPARE(rig.open(0), a);
        QCOMPARE(rig.status(), "Открыто: 3 · на связи: 0" + hidden.arg(2) + " · выбрана: A");

        // A session in a non-current tab cannot take the selection.
        emit rig.window->openSessions().at(1)->activationRequested();
        QCOMPARE(rig.window->selected(), a);

        QVERIFY(QMetaObject::invokeMethod(rig.window.get(), "setLayoutMode", Q_ARG(int, 2)));
        QCOMPARE(rig.named<QComboBox>("slot1")->currentText(), QStringLiteral("B"));
        QCOMPARE(rig.status(), "Открыто: 3 · на связи: 0" + hidden.arg(1) + " · выбрана: A");

        // The selector's first item empties the cell; the session stays open, hidden.
        emit rig.named<QComboBox>("slot0")->activated(0);
        QTRY_COMPARE(rig.window->cellRules().cellId(0), QString());
        QCOMPARE(rig.status(), "Открыто: 3 · на связи: 0" + hidden.arg(2) + " · выбрана: B");
    }

    void expandAndReturn()
    {
        Rig rig({ panel("A", 1), panel("B", 1) });
        rig.window->setLayoutMode(2);
        Session *a = rig.open(0);
        Session *b = rig.open(1);

        emit a->expandRequested();
        QCOMPARE(rig.window->expanded(), a);
        QCOMPARE(rig.status(), "Открыто: 2 · на связи: 0" + hidden.arg(1) + " · выбрана: A");
        rig.named("← Вернуться к раскладке")->click();
        QTRY_VERIFY(!rig.window->expanded());
        QCOMPARE(rig.window->selected(), a);

        // Closing the expanded (idle) session asks nothing and returns to the cells.
        emit b->expandRequested();
        emit b->closeRequested();
        QTRY_COMPARE(rig.window->openSessions(), QList<Session *> { a });
        QVERIFY(!rig.window->expanded());
        QVERIFY(rig.answers->asked.isEmpty());
        QCOMPARE(rig.window->cellRules().cellIds(), QStringList({ a->profileId(), "", "", "" }));
    }

    void closeAsksOnlyWhileEngaged()
    {
        QTcpServer silent; // never answers, so the session stays connecting
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        Rig rig({ panel("Пресс «2»", silent.serverPort(), "pw") });
        Session *s = rig.open(0, true);
        QVERIFY(s->isEngaged());

        rig.window->closeSession(s);
        QCOMPARE(rig.answers->asked, QStringList("Закрыть сеанс | Отключить панель «Пресс «2»»?"));
        QCOMPARE(rig.window->selected(), s);
        rig.answers->replies = { true };
        rig.window->closeSession(s);
        QVERIFY(rig.window->openSessions().isEmpty());
        QVERIFY(rig.named("+  Добавить панель"));
    }

    void fullScreenFromMaximisedAndBack()
    {
        Rig rig({});
        rig.window->showMaximized();
        rig.window->toggleFullScreen();
        QVERIFY(rig.window->isFullScreen());
        QVERIFY(rig.named("Выйти из полного экрана"));
        rig.window->toggleFullScreen();
        QVERIFY(rig.window->isMaximized() && !rig.window->isFullScreen());
        QVERIFY(rig.named("Полный экран"));
    }

    void duplicateAndDelete()
    {
        const PanelProfile source = panel("Линия 1", 5900, "kept");
        Rig rig({ panel("Другая", 5900), source });
        const AddressBook &book = rig.window->addressBook();
        rig.choosePanel(1);

        rig.window->duplicateProfile();
        PanelProfile expected = book.at(1);
        expected.id = book.value(2).id;
        expected.name = QStringLiteral("Линия 1 — копия");
        expected.remember = false;
        QCOMPARE(book.value(2), expected);
        QVERIFY(expected.id != source.id);
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
        QCOMPARE(profileIndexById(book, source.id), -1);
        QCOMPARE(loadProfiles(), book);
        QCOMPARE(CredentialStore::readPassword(source.id), QString());
        QCOMPARE(rig.window->currentProfileIndex(), 0);
    }

    void twoXvncPanelsSideBySide()
    {
        XvncServer first, second;
        QVERIFY2(first.start(QSize(640, 400), "one"), qPrintable(first.errorString()));
        QVERIFY2(second.start(QSize(640, 400), "two"), qPrintable(second.errorString()));
        Rig rig({ panel("Первая", first.port(), "one"), panel("Вторая", second.port(), "two") });
        rig.window->show();

        rig.named<QComboBox>("layoutChoice")->setCurrentIndex(1);
        for (int i : { 0, 1 }) {
            rig.choosePanel(i);
            rig.named("Открыть панель →")->click();
        }
        const QList<Session *> &open = rig.window->openSessions();
        QCOMPARE(open.size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(open.at(0)->isLive() && open.at(1)->isLive(), 10000);
        QCOMPARE(rig.status(), QStringLiteral("Открыто: 2 · на связи: 2 · выбрана: Вторая"));
        QCOMPARE(rig.window->cellRules().cellIds(),
            QStringList({ open.at(0)->profileId(), open.at(1)->profileId(), "", "" }));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
