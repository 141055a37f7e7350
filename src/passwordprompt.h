#pragma once

#include "chromedialog.h"
#include "password.h"

class QLineEdit;

// The modal question for a panel's VNC password before a user-started
// connection. It never stores the answer anywhere; the caller keeps it.
class PasswordPrompt : public ChromeDialog
{
    Q_OBJECT

public:
    // Builds the prompt titled after the panel, with `parent` as its parent.
    PasswordPrompt(const QString &panelName, QWidget *parent);
    ~PasswordPrompt() override;

    // Runs the prompt over `parent`. Returns true with the accepted answer
    // (possibly empty) in `password`; returns false, leaving `password` alone,
    // when the prompt was cancelled or the answer failed the Latin-1 check (the
    // user has then seen a notice).
    static bool ask(QWidget *parent, const QString &panelName, Password *password);

    // The text typed so far.
    Password answer() const;

private:
    QLineEdit *input = nullptr;
};
