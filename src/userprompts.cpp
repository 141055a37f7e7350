#include "userprompts.h"

#include "certificatedialog.h"
#include "chromedialog.h"

UserPrompts::~UserPrompts() = default;

bool UserPrompts::confirm(QWidget *parent, const QString &title, const QString &text)
{
    return ::confirm(parent, title, text);
}

void UserPrompts::notify(QWidget *parent, const QString &title, const QString &text)
{
    ::notify(parent, title, text);
}

QString UserPrompts::chooseFile(
    QWidget *parent, const QString &title, const QString &path, const QString &filter, bool save)
{
    return ::chooseFile(parent, title, path, filter, save);
}

bool UserPrompts::trustCertificate(QWidget *parent, const CertificateFacts &facts)
{
    // Guarded: the parent may go while the dialog runs, taking the dialog with it.
    QPointer<CertificateDialog> dialog = new CertificateDialog(facts, parent);
    certificateQuestion = dialog.data();
    const bool trusted = dialog->exec() == QDialog::Accepted && dialog;
    delete dialog;
    return trusted;
}

void UserPrompts::closeCertificateQuestion()
{
    if (certificateQuestion)
        certificateQuestion->reject();
}
