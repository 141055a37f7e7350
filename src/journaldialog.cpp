#include "journaldialog.h"

#include "journal.h"

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
    connect(exportButton, &QPushButton::clicked, this, [this] {
        if (this->journal)
            exportDiagnostics(this, *this->journal);
    });

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

bool JournalDialog::exportDiagnostics(QWidget *parent, const Journal &journal)
{
    const QString path = chooseFile(parent, tr("Экспорт журнала"),
        QStringLiteral("Pelorin-diagnostics.txt"), tr("Текст (*.txt)"), true);
    if (path.isEmpty())
        return false;
    if (journal.exportTo(path))
        return true;
    notify(parent, tr("Экспорт"), tr("Не удалось записать файл."));
    return false;
}

void JournalDialog::run(Journal *journal, QWidget *parent)
{
    // On the heap and guarded, as the other modal dialogs: the parent may go away
    // while it runs.
    QPointer<JournalDialog> dialog = new JournalDialog(journal, parent);
    dialog->exec();
    delete dialog;
}
