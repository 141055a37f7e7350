#include "journaldialog.h"

#include "journal.h"
#include "userprompts.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

JournalDialog::JournalDialog(Journal *journal, QWidget *parent)
    : ChromeDialog(tr("Журнал подключений"), parent)
    , journal(journal)
{
    resize(920, 580);

    auto *hint = new QLabel(
        tr("Последние %1 событий. Экспорт содержит имена и адреса панелей, без паролей.")
            .arg(Journal::maxLines),
        this);
    hint->setWordWrap(true);
    contentLayout()->addWidget(hint);

    view = new QPlainTextEdit(this);
    view->setReadOnly(true);
    view->setAccessibleName(tr("Журнал подключений"));
    contentLayout()->addWidget(view, 1);

    auto *exportButton = new QPushButton(tr("Экспорт диагностики…"), this);
    exportButton->setAccessibleName(exportButton->text());
    contentLayout()->addWidget(exportButton);
    connect(exportButton, &QPushButton::clicked, this, &JournalDialog::exportRequested);

    connect(journal, &Journal::lineAppended, this, &JournalDialog::showLines);
    showLines();
}

void JournalDialog::showLines()
{
    if (!journal)
        return;
    view->setPlainText(journal->lines().join(QLatin1Char('\n')));
    view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
}

bool JournalDialog::exportDiagnostics(UserPrompts &prompts, QWidget *parent, const Journal &journal)
{
    const QString path = prompts.chooseFile(parent, tr("Экспорт журнала"),
        QStringLiteral("Pelorin-diagnostics.txt"), tr("Текст (*.txt)"), true);
    if (path.isEmpty())
        return false;
    if (journal.exportTo(path))
        return true;
    prompts.notify(parent, tr("Экспорт"), tr("Не удалось записать файл."));
    return false;
}
