#pragma once

#include "chromedialog.h"

#include <QPointer>

class Journal;
class QPlainTextEdit;

// "Журнал подключений": the journal read-only, following new lines while it is
// open (sessions keep running behind the modal dialog), with the diagnostics
// export. The journal must outlive the dialog.
class JournalDialog : public ChromeDialog
{
    Q_OBJECT

public:
    explicit JournalDialog(Journal *journal, QWidget *parent = nullptr);

    // The whole export flow over parent: asks for the file, writes it atomically
    // and shows the failure notice itself. True only when a file was written;
    // cancelling gives false without a message.
    static bool exportDiagnostics(QWidget *parent, const Journal &journal);

    // Runs the dialog modally over parent and destroys it.
    static void run(Journal *journal, QWidget *parent);

private:
    void showLines();

    QPointer<Journal> journal;
    QPlainTextEdit *view = nullptr;
};
