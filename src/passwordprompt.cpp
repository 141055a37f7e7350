#include "passwordprompt.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

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
    // Do not leave the typed secret in a widget that outlives the answer.
    input->clear();
}

QString PasswordPrompt::answer() const
{
    return input->text();
}

bool PasswordPrompt::isLatin1(const QString &text)
{
    // Both round-trip copies hold the secret, so they are zeroed before release.
    QByteArray latin = text.toLatin1();
    QString back = QString::fromLatin1(latin);
    const bool same = back == text;
    latin.fill('\0');
    back.fill(QChar(0));
    return same;
}

bool PasswordPrompt::ask(QWidget *parent, const QString &panelName, QString *password)
{
    QPointer<QWidget> owner(parent);
    QPointer<PasswordPrompt> prompt = new PasswordPrompt(panelName, parent);
    const bool accepted = prompt->exec() == QDialog::Accepted;
    // The owner may have gone away while the prompt ran its own event loop,
    // taking the prompt with it.
    if (!prompt)
        return false;
    QString entered = prompt->answer();
    delete prompt;
    if (!accepted || !owner) {
        // A cancelled answer is still a secret the user typed.
        entered.fill(QChar(0));
        return false;
    }

    if (!isLatin1(entered)) {
        notify(owner, tr("Пароль"), tr("Используйте до 8 символов Latin-1 (латиница, цифры)."));
        entered.fill(QChar(0));
        return false;
    }
    password->fill(QChar(0));
    *password = entered;
    return true;
}
