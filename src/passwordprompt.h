#pragma once

#include "chromedialog.h"
#include "panelprofile.h"
#include "password.h"

class QLineEdit;

// The modal question for a panel's password (and, when the panel needs one, its
// user name) before a user-started connection. It never stores the answer
// anywhere; the caller keeps it. The password's rules follow the panel's
// encryption: without it at most eight Latin-1 characters, as VNC
// authentication takes them; with it up to 128 characters of any script.
class PasswordPrompt : public ChromeDialog
{
    Q_OBJECT

public:
    // Builds the prompt titled after the panel, with `parent` as its parent. With
    // askUserName it also asks for a user name, starting from `userName`, and
    // "Подключить" waits for a non-empty one.
    PasswordPrompt(const QString &panelName, PanelProfile::Encryption encryption, bool askUserName,
        const QString &userName, QWidget *parent);
    ~PasswordPrompt() override;

    // Runs the prompt for `profile`'s panel over `parent`. When `userName` is given
    // the prompt asks for one too, starting from *userName. Returns true with the
    // accepted answers in `password` (possibly empty) and *userName; returns false,
    // leaving both alone, when the prompt was cancelled or the password failed the
    // Latin-1 check of a panel without encryption (the user has then seen a notice).
    static bool ask(QWidget *parent, const PanelProfile &profile, Password *password,
        QString *userName = nullptr);

    // The text typed so far.
    Password answer() const;
    // The user name typed so far; empty when none is asked for.
    QString userNameAnswer() const;

private:
    void updateOkButton();

    QLineEdit *userNameInput = nullptr;
    QLineEdit *input = nullptr;
    QPushButton *okButton = nullptr;
};
