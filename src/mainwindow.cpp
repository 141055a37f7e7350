#include "mainwindow.h"

#include "aboutdialog.h"
#include "addressbookcolumn.h"
#include "certificatequestions.h"
#include "credentialstore.h"
#include "exchangeflows.h"
#include "journal.h"
#include "journaldialog.h"
#include "profileeditor.h"
#include "session.h"
#include "userprompts.h"
#include "windowchrome.h"
#include "windowplacement.h"
#include "workspacedocument.h"
#include "workspacepages.h"

#include <QCloseEvent>

#include <QColor>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSignalBlocker>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <utility>

namespace {

const QString workspaceKey = QStringLiteral("workspaceV2");
const QString journalKey = QStringLiteral("journalV2");
const QString geometryKey = QStringLiteral("windowGeometry");

QPushButton *barButton(const QString &text, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setAccessibleName(text);
    return button;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent,
        Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint
            | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint)
    , book(loadProfiles(&damagedBook))
    , prompts(std::make_unique<UserPrompts>())
    , journal(new Journal(this))
    , certificates(new CertificateQuestions(this, [this]() -> UserPrompts & { return *prompts; }))
{
    setWindowTitle(tr("Пелорин — удалённый доступ"));
    setWindowIcon(QIcon(QStringLiteral(":/assets/logo.png")));

    auto *central = new QWidget(this);
    auto *outer = new QVBoxLayout(central);
    outer->setContentsMargins(1, 1, 1, 1);
    outer->setSpacing(0);
    outer->addWidget(createTitleBar(this, tr("Пелорин — удалённый доступ"), true));

    auto *body = new QHBoxLayout;
    body->setSpacing(0);
    sidebar = new AddressBookColumn(&book, central);
    body->addWidget(sidebar);

    auto *right = new QVBoxLayout;
    right->setContentsMargins(0, 0, 0, 0);
    right->setSpacing(0);
    right->addWidget(buildTopBar());

    statusLine = new QLabel(central);
    statusLine->setObjectName(QStringLiteral("muted"));
    statusLine->setAccessibleName(tr("Строка состояния"));
    statusLine->setMargin(8);
    statusLine->setTextFormat(Qt::PlainText);
    right->addWidget(statusLine);

    statusTimer = new QTimer(this);
    statusTimer->setInterval(500);
    connect(statusTimer, &QTimer::timeout, this, &MainWindow::updateStatusLine);
    statusTimer->start();

    workspaceHost = new QWidget(central);
    auto *hostLayout = new QVBoxLayout(workspaceHost);
    hostLayout->setContentsMargins(10, 10, 10, 10);
    right->addWidget(workspaceHost, 1);
    body->addLayout(right, 1);
    outer->addLayout(body, 1);
    setCentralWidget(central);

    sessionHolder = new QWidget(this);
    sessionHolder->hide();
    installResizeFilter(this);

    connect(sidebar, &AddressBookColumn::newPanelRequested, this, [this] { editProfile(true); });
    connect(sidebar, &AddressBookColumn::editRequested, this, [this] { editProfile(false); });
    connect(sidebar, &AddressBookColumn::openRequested, this, &MainWindow::openCurrentProfile);
    connect(sidebar, &AddressBookColumn::duplicateRequested, this, &MainWindow::duplicateProfile);
    connect(sidebar, &AddressBookColumn::deleteRequested, this, &MainWindow::deleteProfile);
    connect(sidebar, &AddressBookColumn::importRequested, this, &MainWindow::importAddressBook);
    connect(sidebar, &AddressBookColumn::exportRequested, this, &MainWindow::exportAddressBook);
    connect(sidebar, &AddressBookColumn::exitRequested, this, &QWidget::close);
    connect(certificates, &CertificateQuestions::certificateTrusted, this,
        &MainWindow::keepTrustedCertificate);
    rebuildAddressTree();

    QSettings settings;
    journal->restoreFromSettings(settings, journalKey);
    journal->setAutoSaveKey(journalKey);
    placeWindow(settings.value(geometryKey).toByteArray());
    restoreWorkspace();
}

MainWindow::~MainWindow()
{
    // Without an accepted close nothing is saved.
    // The members are gone before the base class deletes the child widgets, so
    // nothing a dying tab widget or session emits may reach this window then.
    closing = true;
    statusTimer->stop();
    if (sessionTabs)
        sessionTabs->disconnect(this);
    for (Session *session : std::as_const(sessions))
        session->disconnect(this);
    qDeleteAll(sessions);
    sessions.clear();
}

QWidget *MainWindow::buildTopBar()
{
    auto *bar = new QFrame;
    bar->setObjectName(QStringLiteral("topbar"));
    auto *row = new QHBoxLayout(bar);
    row->setContentsMargins(16, 12, 16, 12);

    auto *toggle = barButton(QStringLiteral("☰"), bar);
    toggle->setFixedWidth(36);
    toggle->setToolTip(tr("Показать / скрыть адресную книгу"));
    toggle->setAccessibleName(toggle->toolTip());
    row->addWidget(toggle);

    auto *title = new QLabel(tr("Рабочее пространство"), bar);
    title->setObjectName(QStringLiteral("topTitle"));
    row->addWidget(title);
    row->addStretch();

    layoutChoice = new QComboBox(bar);
    layoutChoice->setObjectName(QStringLiteral("layoutChoice"));
    layoutChoice->setAccessibleName(tr("Раскладка"));
    // Qt's bridge on Linux names a combo box by its current text; the description
    // still tells assistive tools what the choice is for.
    layoutChoice->setAccessibleDescription(layoutChoice->accessibleName());
    layoutChoice->addItem(tr("Вкладки"), 1);
    layoutChoice->addItem(tr("2 панели"), 2);
    layoutChoice->addItem(tr("4 панели"), 4);
    row->addWidget(layoutChoice);

    journalButton = barButton(tr("Журнал"), bar);
    row->addWidget(journalButton);
    fullScreenButton = barButton(tr("Полный экран"), bar);
    row->addWidget(fullScreenButton);
    aboutButton = barButton(tr("О программе"), bar);
    row->addWidget(aboutButton);

    connect(
        toggle, &QPushButton::clicked, this, [this] { sidebar->setHidden(!sidebar->isHidden()); });
    connect(layoutChoice, &QComboBox::currentIndexChanged, this,
        [this](int index) { setLayoutMode(layoutChoice->itemData(index).toInt()); });
    connect(journalButton, &QPushButton::clicked, this, &MainWindow::showJournal);
    connect(fullScreenButton, &QPushButton::clicked, this, &MainWindow::toggleFullScreen);
    connect(aboutButton, &QPushButton::clicked, this, &MainWindow::showAbout);
    return bar;
}

Session *MainWindow::selected() const
{
    return selectedSession;
}

Session *MainWindow::expanded() const
{
    return expandedSession;
}

void MainWindow::setPrompts(std::unique_ptr<UserPrompts> replacement)
{
    if (replacement)
        prompts = std::move(replacement);
}

void MainWindow::reportDamagedAddressBook()
{
    if (damagedBook.isNull())
        return;
    const QString kept = keepProfilesBackup(std::exchange(damagedBook, QByteArray()))
        ? tr("Исходная копия сохранена в настройках под ключом «profilesBackup».")
        : tr("Сохранить исходную копию не удалось; проверьте доступ к настройкам.");
    prompts->notify(this, tr("Адресная книга"),
        tr("Адресная книга в настройках была частично повреждена: нечитаемые записи пропущены, "
           "повторяющиеся получили новый идентификатор. %1")
            .arg(kept));
}

QString MainWindow::bookWriteFailure()
{
    return tr("Не удалось записать адресную книгу в настройки. Изменения действуют до закрытия "
              "программы; проверьте доступ к настройкам и свободное место на диске.");
}

void MainWindow::storeBook(const QString &title)
{
    if (!saveProfiles(book))
        prompts->notify(this, title, bookWriteFailure());
}

// ---- Address book column ----

int MainWindow::currentProfileIndex() const
{
    return sidebar->currentProfileIndex();
}

void MainWindow::rebuildAddressTree()
{
    sidebar->rebuild();
}

void MainWindow::openCurrentProfile()
{
    const int index = currentProfileIndex();
    if (index != -1)
        openSession(book.at(index).id, true, -1);
}

void MainWindow::duplicateProfile()
{
    const int index = currentProfileIndex();
    if (index == -1)
        return;
    PanelProfile copy = book.at(index);
    copy.id = PanelProfile::newId();
    // The original part is shortened so that the copy's name keeps to the limit that the
    // editor and an import of our own export hold it to, never splitting a surrogate pair.
    const QString suffix = tr(" — копия");
    qsizetype keep = PanelProfile::maxNameLength - suffix.size();
    if (copy.name.size() > keep && copy.name.at(keep - 1).isHighSurrogate())
        --keep;
    copy.name = copy.name.left(keep) + suffix;
    copy.password.clear();
    copy.remember = false;
    book.append(copy);
    storeBook(tr("Дублировать панель"));
    rebuildAddressTree();
}

void MainWindow::keepTrustedCertificate(const QString &id, const QByteArray &sha256)
{
    // Sessions hold copies of records; the book changes only here.
    const QString pin = PanelProfile::pinFromDigest(sha256);
    const int at = profileIndexById(book, id);
    if (at != -1 && book.at(at).certificateSha256 != pin) {
        book[at].certificateSha256 = pin;
        storeBook(tr("Сертификат панели"));
    }
    // An editor open on the record would otherwise save it back without the pin.
    const auto editors = findChildren<ProfileEditor *>();
    for (ProfileEditor *editor : editors)
        if (editor->profile().id == id)
            editor->setStoredCertificate(pin);
}

void MainWindow::deleteProfile()
{
    const int index = currentProfileIndex();
    if (index == -1)
        return;
    const PanelProfile profile = book.at(index);
    QPointer<MainWindow> self(this);
    const bool agreed = prompts->confirm(this, tr("Удалить панель"),
        tr("Удалить «%1» из адресной книги? Открытые сеансы останутся до закрытия.")
            .arg(profile.name));
    // The question runs its own event loop; the book may have changed under it.
    if (!self || !agreed)
        return;
    const int at = profileIndexById(book, profile.id);
    if (at == -1)
        return;
    CredentialStore::deletePassword(profile);
    book.removeAt(at);
    storeBook(tr("Удалить панель"));
    rebuildAddressTree();
}

void MainWindow::editProfile(bool createNew)
{
    const int index = createNew ? -1 : currentProfileIndex();
    if (!createNew && index == -1)
        return;
    // The record enters the book only once the store took it, so Cancel after a failed write
    // leaves the book and the sessions as they were.
    const auto commit = [this](const PanelProfile &record) {
        AddressBook next = book;
        const int at = profileIndexById(next, record.id);
        if (at == -1) {
            next.append(record);
        } else {
            next[at] = record;
        }
        if (!saveProfiles(next)) {
            // The refused value may still wait in the store for a later write; the book's own
            // replaces it.
            saveProfiles(book);
            return bookWriteFailure();
        }
        book = next;
        return QString();
    };
    QPointer<MainWindow> self(this);
    PanelProfile edited;
    const bool saved = ProfileEditor::edit(this,
        createNew ? ProfileEditor::Mode::NewPanel : ProfileEditor::Mode::ExistingPanel,
        createNew ? PanelProfile::createNew() : book.at(index), &edited, commit);
    if (!self || !saved)
        return;

    const int at = profileIndexById(book, edited.id);
    if (at == -1)
        return;
    const PanelProfile record = book.at(at);
    sidebar->clearSearch();
    rebuildAddressTree();
    sidebar->setCurrentPanel(record.id);
    for (Session *session : std::as_const(sessions)) {
        if (session->profileId() == record.id && !session->isEngaged())
            session->applyProfile(record);
    }
}

void MainWindow::importAddressBook()
{
    QPointer<MainWindow> self(this);
    const std::optional<AddressBook> added = ExchangeFlows::chooseImport(*prompts, this);
    if (!self || !added)
        return;
    book.append(*added);
    storeBook(tr("Импорт"));
    rebuildAddressTree();
    rebuildWorkspace();
    appendJournal(ExchangeFlows::importJournalText(added->size()));
}

void MainWindow::exportAddressBook()
{
    ExchangeFlows::exportBook(*prompts, this, book);
}

void MainWindow::showJournal()
{
    QPointer<JournalDialog> dialog = new JournalDialog(journal, this);
    connect(dialog.data(), &JournalDialog::exportRequested, this, [this, dialog] {
        if (dialog)
            exportDiagnostics(dialog);
    });
    dialog->exec();
    delete dialog;
}

void MainWindow::exportDiagnostics(QWidget *parent)
{
    JournalDialog::exportDiagnostics(*prompts, parent ? parent : this, *journal);
}

void MainWindow::showAbout()
{
    AboutDialog::run(this);
}

const QStringList &MainWindow::journalLines() const
{
    return journal->lines();
}

void MainWindow::appendJournal(const QString &text)
{
    journal->append(text);
}

void MainWindow::logSessionEvent(Session *session, const QString &message)
{
    appendJournal(Journal::sessionEntry(session->profile(), message));
}

// ---- Persistence and closing ----

bool MainWindow::saveWorkspace()
{
    WorkspaceDocument document;
    document.mode = cells.layoutMode();
    for (const Session *session : std::as_const(sessions))
        document.sessions.append(
            { session->profileId(), session->zoomIndex(), session->profile().viewOnly });
    document.cellIds = cells.cellIds();
    document.active = selectedSession ? selectedSession->profileId() : QString();
    document.sidebar = !sidebar->isHidden();

    QSettings settings;
    document.saveSettings(settings, workspaceKey);
    // A full-screen geometry would come back as a window without its frame
    // position; the previous one stays.
    if (!isFullScreen())
        settings.setValue(geometryKey, saveGeometry());
    // With the workspace, in case the shutdown below does not get to its own save.
    return journal->saveSettings(settings, journalKey);
}

void MainWindow::placeWindow(const QByteArray &storedGeometry)
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    QList<QRect> areas;
    for (const QScreen *screen : screens)
        areas.append(screen->availableGeometry());
    const int home = std::max(0, int(screens.indexOf(QGuiApplication::primaryScreen())));
    // Missing or unusable bytes leave no stored geometry: the initial size, centred.
    const bool restored = restoreGeometry(storedGeometry);
    const Qt::WindowStates state = windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen);
    // A maximised or full-screen window is placed by the geometry it returns to.
    const QRect stored = !restored ? QRect() : state ? normalGeometry() : geometry();
    const WindowPlacement::Result fit = placement().place(areas, home, stored);
    setMinimumSize(fit.minimum);
    // Qt drops a maximised or full-screen state when it sets a created window's geometry: the
    // window is placed in the normal state, then the stored state is set again.
    setWindowState(Qt::WindowNoState);
    setGeometry(fit.geometry);
    setWindowState(state);

    // The minimum follows the window to another screen, as it was fitted to the first.
    create();
    connect(windowHandle(), &QWindow::screenChanged, this, [this](QScreen *screen) {
        if (screen)
            setMinimumSize(placement().minimumOn(screen->availableGeometry()));
    });
}

WindowPlacement MainWindow::placement()
{
    return WindowPlacement(QSize(1400, 900), QSize(1100, 700));
}

void MainWindow::sizeForCapture()
{
    // The picture is of the window, so it has the window's own size, stored or designed,
    // whatever screen the platform reports; fitting to a screen is for a window shown on one.
    // Kept off the screen, the window also keeps the state placeWindow() restored (maximised,
    // full screen) without the platform sizing it to the screen as it would a shown window.
    const QRect stored
        = WindowPlacement::storedNormalGeometry(QSettings().value(geometryKey).toByteArray());
    const WindowPlacement designed = placement();
    const Qt::WindowStates state = windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen);
    setAttribute(Qt::WA_DontShowOnScreen);
    setWindowState(Qt::WindowNoState);
    setMinimumSize(designed.minimumOn(QRect()));
    resize(stored.isValid() ? stored.size() : designed.preferred());
    setWindowState(state);
}

void MainWindow::restoreWorkspace()
{
    QSettings settings;
    const WorkspaceDocument document = WorkspaceDocument::fromSettings(settings, workspaceKey);

    // The layout is still tabs here, so opening places nothing in a cell.
    rebuilding = true;
    for (const WorkspaceDocument::SessionState &state : document.sessions) {
        Session *session = openSession(state.id, false, -1);
        if (!session)
            continue; // its panel was deleted
        session->setZoomIndex(state.zoom);
        PanelProfile copy = session->profile();
        copy.viewOnly = state.viewOnly.value_or(copy.viewOnly);
        session->applyProfile(copy);
    }
    // Directly, not through setLayoutMode: sessions without a cell stay hidden.
    cells.restore(document.mode, document.cellIds);
    for (Session *session : std::as_const(sessions)) {
        if (session->profileId() == document.active)
            selectedSession = session;
    }
    sidebar->setHidden(!document.sidebar);
    {
        const QSignalBlocker blocker(layoutChoice);
        layoutChoice->setCurrentIndex(layoutChoice->findData(cells.layoutMode()));
    }
    rebuilding = false;
    rebuildWorkspace();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A second close after the shutdown must not overwrite what was saved
    // with an empty workspace.
    if (closing) {
        event->accept();
        return;
    }
    const bool engaged = std::any_of(sessions.cbegin(), sessions.cend(),
        [](const Session *session) { return session->isEngaged(); });
    if (engaged
        && !prompts->confirm(this, tr("Выход"), tr("Отключить все панели и закрыть программу?"))) {
        event->ignore();
        return;
    }

    const bool workspaceSaved = saveWorkspace();
    closing = true;
    if (sessionTabs)
        sessionTabs->disconnect(this);
    // Their disconnect lines reach the journal here.
    for (Session *session : std::exchange(sessions, {})) {
        session->disconnectByUser();
        delete session;
    }
    // The journal last, so it keeps those lines.
    QSettings settings;
    const bool journalSaved = journal->saveSettings(settings, journalKey);
    if (!workspaceSaved || !journalSaved) {
        QStringList lost;
        if (!workspaceSaved)
            lost << tr("рабочее пространство");
        if (!journalSaved)
            lost << tr("журнал");
        prompts->notify(this, tr("Выход"),
            tr("Не удалось записать в настройки: %1. Проверьте доступ к настройкам и свободное "
               "место на диске.")
                .arg(lost.join(QStringLiteral(", "))));
    }
    event->accept();
}

// ---- Workspace ----

Session *MainWindow::openSession(const QString &id, bool connectNow, int cell)
{
    const int index = profileIndexById(book, id);
    if (index == -1)
        return nullptr;
    const PanelProfile &profile = book.at(index);

    Session *session = nullptr;
    for (Session *open : std::as_const(sessions)) {
        if (open->profileId() == id) {
            session = open;
            break;
        }
    }
    if (session) {
        if (!session->isEngaged())
            session->applyProfile(profile);
    } else {
        session = createSession(profile);
    }

    cells.place(id, cell, selectedSession ? selectedSession->profileId() : QString());
    selectedSession = session;
    if (!rebuilding)
        rebuildWorkspace();
    if (connectNow)
        session->startConnection();
    return session;
}

Session *MainWindow::createSession(const PanelProfile &profile)
{
    auto *session = new Session(profile, sessionHolder);
    sessions.append(session);
    session->setSelected(false);
    connect(
        session, &Session::activationRequested, this, [this, session] { selectSession(session); });
    connect(session, &Session::expandRequested, this, [this, session] { toggleExpanded(session); });
    connect(session, &Session::closeRequested, this, [this, session] { deferClose(session); });
    connect(session, &Session::journal, this,
        [this, session](const QString &message) { logSessionEvent(session, message); });
    connect(session, &Session::titleStatus, this,
        [this, session](bool connected) { setTabColour(session, connected); });
    connect(session, &Session::certificateQuestion, certificates,
        [this, session](
            const QSslCertificate &certificate) { certificates->ask(session, certificate); });
    connect(session, &Session::certificateQuestionVoid, certificates,
        [this, session] { certificates->withdraw(session); });
    return session;
}

QStringList MainWindow::sessionIds() const
{
    QStringList ids;
    for (const Session *session : sessions)
        ids.append(session->profileId());
    return ids;
}

void MainWindow::deferClose(Session *session)
{
    // The close may come from a widget of the page that the close rebuilds.
    QTimer::singleShot(0, this, [this, guard = QPointer<Session>(session)] {
        if (guard)
            closeSession(guard);
    });
}

void MainWindow::setLayoutMode(int count)
{
    if (!CellRules::isLayoutMode(count))
        return;
    cells.setLayoutMode(count, sessionIds());
    expandedSession = nullptr;
    {
        const QSignalBlocker blocker(layoutChoice);
        layoutChoice->setCurrentIndex(layoutChoice->findData(count));
    }
    rebuildWorkspace();
}

void MainWindow::rebuildWorkspace()
{
    if (rebuilding || closing)
        return;
    rebuilding = true;

    if (sessionTabs)
        sessionTabs->disconnect(this);
    const bool compact = cells.layoutMode() >= 2 && !expandedSession;
    for (Session *session : std::as_const(sessions)) {
        session->setSelected(false);
        session->hide();
        session->setParent(sessionHolder);
        session->setCompact(compact);
    }
    sessionTabs = nullptr;
    delete workspacePage;

    workspacePage = new QWidget(workspaceHost);
    auto *pageLayout = new QVBoxLayout(workspacePage);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    workspaceHost->layout()->addWidget(workspacePage);

    if (expandedSession) {
        QPushButton *back = WorkspacePages::fillExpanded(workspacePage, expandedSession);
        connect(back, &QPushButton::clicked, this,
            [this] { QTimer::singleShot(0, this, &MainWindow::returnToLayout); });
        selectedSession = expandedSession;
    } else if (cells.layoutMode() == 1 && !sessions.isEmpty()) {
        showTabsPage(workspacePage);
    } else if (cells.layoutMode() == 1) {
        QPushButton *add = WorkspacePages::fillWelcome(workspacePage);
        connect(add, &QPushButton::clicked, this, [this] { editProfile(true); });
    } else {
        showCellsPage(workspacePage);
    }

    workspacePage->show();
    rebuilding = false;
    selectSession(selectedSession);
}

void MainWindow::showTabsPage(QWidget *page)
{
    sessionTabs = WorkspacePages::fillTabs(page, sessions, selectedSession);
    selectedSession = qobject_cast<Session *>(sessionTabs->currentWidget());
    connect(sessionTabs, &QTabWidget::currentChanged, this, [this](int index) {
        selectSession(sessionTabs ? qobject_cast<Session *>(sessionTabs->widget(index)) : nullptr);
    });
    connect(sessionTabs, &QTabWidget::tabCloseRequested, this,
        [this](int index) { deferClose(qobject_cast<Session *>(sessionTabs->widget(index))); });
}

void MainWindow::showCellsPage(QWidget *page)
{
    const QList<QComboBox *> selectors = WorkspacePages::fillCells(page, cells, book, sessions);
    for (int k = 0; k < selectors.size(); ++k) {
        QComboBox *selector = selectors.at(k);
        connect(selector, &QComboBox::activated, this, [this, selector, k](int index) {
            const QString id = selector->itemData(index).toString();
            QTimer::singleShot(0, this, [this, k, id] { chooseCellPanel(k, id); });
        });
    }

    const QString keep = cells.fixSelection(
        selectedSession ? selectedSession->profileId() : QString(), sessionIds());
    selectedSession = nullptr;
    for (Session *session : std::as_const(sessions)) {
        if (!keep.isEmpty() && session->profileId() == keep)
            selectedSession = session;
    }
}

bool MainWindow::isOnScreen(const Session *session) const
{
    if (expandedSession)
        return session == expandedSession;
    if (cells.layoutMode() == 1)
        return sessionTabs && sessionTabs->currentWidget() == session;
    return cells.isShown(session->profileId());
}

void MainWindow::selectSession(Session *session)
{
    if (session && !isOnScreen(session))
        return;
    selectedSession = session;
    for (Session *open : std::as_const(sessions))
        open->setSelected(open == session);
}

void MainWindow::toggleExpanded(Session *session)
{
    expandedSession = session == expandedSession ? nullptr : session;
    selectedSession = session;
    rebuildWorkspace();
}

void MainWindow::returnToLayout()
{
    expandedSession = nullptr;
    rebuildWorkspace();
}

void MainWindow::chooseCellPanel(int cell, const QString &id)
{
    if (!id.isEmpty()) {
        openSession(id, false, cell);
        return;
    }
    cells.clearCell(cell);
    rebuildWorkspace();
}

void MainWindow::closeSession(Session *session)
{
    if (!session)
        return;
    QPointer<Session> guard(session);
    if (session->isEngaged()) {
        const bool agreed = prompts->confirm(
            this, tr("Закрыть сеанс"), tr("Отключить панель «%1»?").arg(session->profile().name));
        // The question runs its own event loop, in which the session may go.
        if (!guard || !agreed)
            return;
    }
    session->disconnectByUser();
    cells.removeId(session->profileId());
    if (expandedSession == session)
        expandedSession = nullptr;
    if (selectedSession == session)
        selectedSession = nullptr;
    sessions.removeOne(session);
    delete session;
    rebuildWorkspace();
}

void MainWindow::updateStatusLine()
{
    int live = 0;
    int hidden = 0;
    for (const Session *session : std::as_const(sessions)) {
        live += session->isLive() ? 1 : 0;
        hidden += isOnScreen(session) ? 0 : 1;
    }
    QString text = tr("Открыто: %1 · на связи: %2").arg(sessions.size()).arg(live);
    if (hidden > 0)
        text += tr(" · скрыто: %1 (доступны во вкладках)").arg(hidden);
    if (selectedSession)
        text += tr(" · выбрана: ") + selectedSession->profile().name;
    statusLine->setText(text);
    // The label is named for what it is; screen readers read what it says from its description.
    statusLine->setAccessibleDescription(text);
}

void MainWindow::setTabColour(Session *session, bool connected)
{
    if (!sessionTabs)
        return;
    const int index = sessionTabs->indexOf(session);
    if (index >= 0)
        sessionTabs->tabBar()->setTabTextColor(
            index, QColor(connected ? QStringLiteral("#62deba") : QStringLiteral("#91a0b5")));
}

void MainWindow::toggleFullScreen()
{
    for (Session *session : std::as_const(sessions))
        session->releaseInput();
    if (isFullScreen()) {
        if (wasMaximized)
            showMaximized();
        else
            showNormal();
    } else {
        wasMaximized = isMaximized();
        showFullScreen();
    }
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    // The button says what it does, also for a full screen restored from the settings or left
    // through the title bar.
    if (event->type() == QEvent::WindowStateChange && fullScreenButton) {
        fullScreenButton->setText(
            isFullScreen() ? tr("Выйти из полного экрана") : tr("Полный экран"));
        fullScreenButton->setAccessibleName(fullScreenButton->text());
    }
}
