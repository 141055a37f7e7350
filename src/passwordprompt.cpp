#include "passwordprompt.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <utility>

PasswordPrompt::PasswordPrompt(const QString &panelName, PanelProfile::Encryption encryption,
    bool askUserName, const QString &userName, QWidget *parent)
    : ChromeDialog(tr("Подключение · %1").arg(panelName), parent)
{
    setMinimumWidth(440);

    auto *hint = new QLabel(askUserName
            ? tr("Панель требует имя пользователя. Введите его и пароль.")
            : tr("Введите пароль или оставьте поле пустым для входа без пароля."));
    hint->setWordWrap(true);
    contentLayout()->addWidget(hint);

    if (askUserName) {
        userNameInput = new QLineEdit(userName);
        userNameInput->setMaxLength(PanelProfile::maxUserNameLength);
        userNameInput->setPlaceholderText(tr("Пользователь"));
        userNameInput->setAccessibleName(tr("Пользователь"));
        contentLayout()->addWidget(userNameInput);
    }

    input = new QLineEdit;
    input->setEchoMode(QLineEdit::Password);
    input->setAccessibleName(tr("Пароль"));
    input->setMaxLength(PanelProfile::passwordLimit(encryption));
    contentLayout()->addWidget(input);
    if (!PanelProfile::passwordNeedsLatin1(encryption)) {
        auto *rule = new QLabel(tr("Шифрованное соединение: до %1 символов любого алфавита.")
                                    .arg(PanelProfile::maxEncryptedPasswordLength));
        rule->setObjectName(QStringLiteral("muted"));
        rule->setWordWrap(true);
        contentLayout()->addWidget(rule);
    }

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    okButton = buttons->button(QDialogButtonBox::Ok);
    okButton->setText(tr("Подключить"));
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("Отмена"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    contentLayout()->addWidget(buttons);

    if (userNameInput) {
        connect(userNameInput, &QLineEdit::textChanged, this, &PasswordPrompt::updateOkButton);
        updateOkButton();
    }
    if (userNameInput && userName.isEmpty())
        userNameInput->setFocus();
    else
        input->setFocus();
}

PasswordPrompt::~PasswordPrompt()
{
    // As far as a line edit can be wiped (see password.h).
    input->clear();
}

void PasswordPrompt::updateOkButton()
{
    // A panel that asked for a user name refuses an empty one.
    okButton->setEnabled(!userNameInput->text().isEmpty());
}

Password PasswordPrompt::answer() const
{
    return Password::take(input->text());
}

QString PasswordPrompt::userNameAnswer() const
{
    return userNameInput ? userNameInput->text() : QString();
}

bool PasswordPrompt::ask(
    QWidget *parent, const PanelProfile &profile, Password *password, QString *userName)
{
    // Taken before the prompt runs: `password` may be a member of `profile`.
    const PanelProfile::Encryption encryption = profile.encryption;
    QPointer<QWidget> owner(parent);
    QPointer<PasswordPrompt> prompt = new PasswordPrompt(
        profile.name, encryption, userName != nullptr, userName ? *userName : QString(), parent);
    const bool accepted = prompt->exec() == QDialog::Accepted;
    // The owner may have gone away while the prompt ran its own event loop,
    // taking the prompt with it.
    if (!prompt)
        return false;
    Password entered = prompt->answer();
    const QString enteredUserName = prompt->userNameAnswer();
    delete prompt;
    if (!accepted || !owner)
        return false;

    if (PanelProfile::passwordNeedsLatin1(encryption) && !entered.isLatin1()) {
        notify(owner, tr("Пароль"),
            tr("Используйте до %1 символов Latin-1 (латиница, цифры).")
                .arg(PanelProfile::maxPasswordLength));
        return false;
    }
    *password = std::move(entered);
    if (userName)
        *userName = enteredUserName;
    return true;
}
