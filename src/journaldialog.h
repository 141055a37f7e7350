#pragma once

#include "chromedialog.h"

#include <QPointer>

class Journal;
class UserPrompts;
class QPlainTextEdit;

// "Журнал подключений": the journal read-only, following new lines while it is
// open (sessions keep running behind the modal dialog), and the button that asks
// for the diagnostics export (exportRequested; the owner runs exportDiagnostics
// over this dialog).
class JournalDialog : public ChromeDialog
{
    Q_OBJECT

public:
    explicit JournalDialog(Journal *journal, QWidget *parent = nullptr);

    // The whole export flow over parent: asks for the file, writes it atomically
    // and shows the failure notice, through prompts. True only when a file was
    // written; cancelling gives false without a message.
    static bool exportDiagnostics(UserPrompts &prompts, QWidget *parent, const Journal &journal);

signals:
    void exportRequested();

private:
    void showLines();

    QPointer<Journal> journal;
    QPlainTextEdit *view = nullptr;
};
