#pragma once

#include "addressbook.h"
#include "cellrules.h"

#include <QList>
#include <QMainWindow>
#include <QPointer>

#include <memory>

class AddressBookColumn;
class CertificateQuestions;
class Journal;
class QComboBox;
class QLabel;
class QPushButton;
class QTabWidget;
class QTimer;
class Session;
class UserPrompts;
class WindowPlacement;

// The one top-level window: the address book column at the left and, at the
// right, the top bar, the status line and the workspace in which the open
// sessions are laid out as tabs, two cells or four cells, or one expanded.
//
// The window coordinates: the column reports the user's choices, CellRules
// decides which panel goes into which cell, WorkspacePages lays a page out.
// The window owns the address book and every session; a rebuild of the page
// only moves the sessions between the page and a hidden holder, it never
// destroys one. Everything runs on the GUI thread.
//
// The workspace, the journal and the window geometry are read back in the
// constructor and written by an accepted close; a window destroyed without one
// saves nothing but the journal, which is also written within a second of
// every new line.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Replaces the way the window asks the user (tests answer here).
    void setPrompts(std::unique_ptr<UserPrompts> prompts);
    // When loading found the stored address book damaged (entries left out or
    // ids repeated), keeps its value under "profilesBackup" and tells the user,
    // once, whether that worked. Called after the window is shown, before the
    // user can change the book; not in screenshot mode, which writes nothing.
    void reportDamagedAddressBook();
    // Screenshot mode, before the window is shown: the window is kept off the
    // screen with its stored normal size, or the designed one, however small the
    // screen is, and keeps a stored maximised or full-screen state.
    void sizeForCapture();

    // The address book and the operations of its column.
    const AddressBook &addressBook() const { return book; }
    int currentProfileIndex() const;
    void rebuildAddressTree();
    void openCurrentProfile();
    void duplicateProfile();
    void deleteProfile();

    // The workspace.
    // Finds or creates the session of the panel id, places it (cell 0–3 asks
    // for that cell, -1 lets the layout choose), selects it and, with
    // connectNow, starts connecting. Null when the book has no such panel.
    Session *openSession(const QString &id, bool connectNow = true, int cell = -1);
    void rebuildWorkspace();
    void selectSession(Session *session);
    void toggleExpanded(Session *session);
    void returnToLayout();
    // Shows panel id in cell k (opening it unconnected); an empty id empties the cell.
    void chooseCellPanel(int cell, const QString &id);
    // Closes one session, asking first while it is engaged.
    void closeSession(Session *session);
    void updateStatusLine();
    void toggleFullScreen();

    // The connection journal: timestamped lines, oldest first.
    const QStringList &journalLines() const;
    // Stamps and stores one entry (an open journal dialog shows it at once).
    void appendJournal(const QString &text);
    // Asks for a file and writes the journal to it; notices go over parent.
    void exportDiagnostics(QWidget *parent);

    // The operator trusted a panel's certificate (its SHA-256) while connecting: the record
    // `id` keeps it as its pin in the book, which is saved, and in an editor open on it.
    void keepTrustedCertificate(const QString &id, const QByteArray &sha256);
    // The questions about panels' certificates, one at a time across the sessions.
    CertificateQuestions *certificateQuestions() const { return certificates; }

    const QList<Session *> &openSessions() const { return sessions; }
    const CellRules &cellRules() const { return cells; }
    Session *selected() const;
    Session *expanded() const;

protected:
    // Asks while a panel is engaged, saves the workspace, disconnects and
    // destroys every session, then saves the journal again with their last lines.
    void closeEvent(QCloseEvent *event) override;
    // Keeps the full-screen button's text to the window's state.
    void changeEvent(QEvent *event) override;

public slots:
    // 1 tabs, 2 two cells, 4 four cells; other counts are ignored.
    void setLayoutMode(int count);

private:
    // The profile editor for a new panel or the current one; on Save the
    // record enters the book and reaches that panel's idle sessions.
    void editProfile(bool createNew);
    void importAddressBook();
    void exportAddressBook();
    void showJournal();
    void showAbout();
    // Every message a session journals arrives here.
    void logSessionEvent(Session *session, const QString &message);

    // Sizes and places the window on the screens there are, from the stored
    // geometry when there is one, keeping a stored maximised or full-screen state.
    void placeWindow(const QByteArray &storedGeometry);
    // The designed sizes: 1400 x 900, at least 1100 x 700.
    static WindowPlacement placement();
    // Writes the workspace, the geometry and the journal; false when the
    // settings store did not take them.
    bool saveWorkspace();
    void restoreWorkspace();
    // The address book written back after a change; a failure is told under `title`
    // (the in-memory book stays as the user made it).
    void storeBook(const QString &title);
    static QString bookWriteFailure();

    QWidget *buildTopBar();
    Session *createSession(const PanelProfile &profile);
    bool isOnScreen(const Session *session) const;
    // The panel ids of the open sessions, in creation order.
    QStringList sessionIds() const;
    void showTabsPage(QWidget *page);
    void showCellsPage(QWidget *page);
    void setTabColour(Session *session, bool connected);
    void deferClose(Session *session);

    QByteArray damagedBook; // the stored value loading could not take whole, until kept
    AddressBook book;
    std::unique_ptr<UserPrompts> prompts;
    Journal *journal = nullptr;
    CertificateQuestions *certificates = nullptr;
    AddressBookColumn *sidebar = nullptr;

    QList<Session *> sessions;
    CellRules cells; // the cell ids and the layout mode
    QPointer<Session> selectedSession;
    QPointer<Session> expandedSession;
    QWidget *sessionHolder = nullptr;
    QWidget *workspaceHost = nullptr;
    QWidget *workspacePage = nullptr;
    QPointer<QTabWidget> sessionTabs;
    bool rebuilding = false;
    bool closing = false;
    bool wasMaximized = false;

    QComboBox *layoutChoice = nullptr;
    QPushButton *journalButton = nullptr;
    QPushButton *fullScreenButton = nullptr;
    QPushButton *aboutButton = nullptr;
    QLabel *statusLine = nullptr;
    QTimer *statusTimer = nullptr;
};
