#include "passwordprompt.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <utility>

PasswordPrompt::PasswordPrompt(const QString &panelName, QWidget *parent)
    : ChromeDialog(tr("Подключение · %1").arg(panelName), parent)
{
    setMinimumWidth(440);

    auto *hint = new QLabel(tr("Введите пароль или оставьте поле пустым для входа без пароля."));
    hint->setWordWrap(true);
    contentLayout()->addWidget(hint);

    input = new QLineEdit;
    input->setEchoMode(QLineEdit::Password);
    // VNC authentication uses at most eight bytes of the password.
    input->setMaxLength(8);
    contentLayout()->addWidget(input);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("Подключить"));
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("Отмена"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    contentLayout()->addWidget(buttons);

    input->setFocus();
}

PasswordPrompt::~PasswordPrompt()
{
    // As far as a line edit can be wiped (see password.h).
    input->clear();
}

Password PasswordPrompt::answer() const
{
    return Password::take(input->text());
}

bool PasswordPrompt::ask(QWidget *parent, const QString &panelName, Password *password)
{
    QPointer<QWidget> owner(parent);
    QPointer<PasswordPrompt> prompt = new PasswordPrompt(panelName, parent);
    const bool accepted = prompt->exec() == QDialog::Accepted;
    // The owner may have gone away while the prompt ran its own event loop,
    // taking the prompt with it.
    if (!prompt)
        return false;
    Password entered = prompt->answer();
    delete prompt;
    if (!accepted || !owner)
        return false;

    if (!entered.isLatin1()) {
        notify(owner, tr("Пароль"), tr("Используйте до 8 символов Latin-1 (латиница, цифры)."));
        return false;
    }
    *password = std::move(entered);
    return true;
}
