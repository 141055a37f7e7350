#pragma once

#include "chromedialog.h"

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
    static bool ask(QWidget *parent, const QString &panelName, QString *password);

    // Whether every character of `text` survives a round trip through Latin-1.
    static bool isLatin1(const QString &text);

    // The text typed so far.
    QString answer() const;

private:
    QLineEdit *input = nullptr;
};
