#include "profileeditor.h"

#include "credentialstore.h"

#include <QAction>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>

namespace {

// The end-to-end tests and screen readers find fields by their visible label.
template<typename Widget> Widget *named(Widget *widget, const QString &name)
{
    widget->setAccessibleName(name);
    return widget;
}

QLineEdit *lineEdit(const QString &text, const QString &placeholder, int maxLength = -1)
{
    auto *edit = new QLineEdit;
    if (maxLength > 0)
        edit->setMaxLength(maxLength); // before the text, so a longer one is cut
    edit->setText(text);
    edit->setPlaceholderText(placeholder);
    return edit;
}

QCheckBox *checkBox(const QString &text, bool checked)
{
    auto *box = new QCheckBox(text);
    box->setChecked(checked);
    box->setAccessibleName(text);
    return box;
}

} // namespace

ProfileEditor::ProfileEditor(Mode mode, const PanelProfile &record, QWidget *parent)
    : ChromeDialog(
        mode == Mode::NewPanel ? tr("Новое подключение") : tr("Настройки подключения"), parent)
    , workingCopy(record)
{
    setMinimumWidth(520);
    // Read into the working copy, which also keeps it for restoreStore() until the editor goes.
    if (workingCopy.remember)
        workingCopy.password
            = Password::take(CredentialStore::readPassword(workingCopy.id, &storedAtOpen));

    auto *heading
        = new QLabel(mode == Mode::NewPanel ? tr("Добавить панель") : tr("Настройки панели"));
    heading->setObjectName(QStringLiteral("sessionTitle"));
    contentLayout()->addWidget(heading);

    auto *form = new QFormLayout;
    form->setSpacing(12);
    nameEdit = lineEdit(workingCopy.name, tr("Например: Линия 1 · Упаковщик"));
    hostEdit = lineEdit(workingCopy.host, tr("192.168.1.218"));
    portBox = new QSpinBox;
    portBox->setRange(1, 65535);
    portBox->setValue(workingCopy.port);
    groupEdit = lineEdit(workingCopy.group, tr("Цех / заказчик / объект"));
    QString shown = workingCopy.password.toQString();
    passwordEdit = lineEdit(shown, tr("Пусто — без пароля"), PanelProfile::maxPasswordLength);
    // Zeroed only when the field keeps a cut copy of its own; else it is the field's.
    Password::wipe(shown);
    passwordEdit->setEchoMode(QLineEdit::Password);
    auto *showPassword = new QAction(style()->standardIcon(QStyle::SP_DialogYesButton),
        tr("Показать / скрыть пароль"), passwordEdit);
    showPassword->setToolTip(tr("Показать / скрыть пароль"));
    connect(showPassword, &QAction::triggered, this, &ProfileEditor::togglePasswordEcho);
    passwordEdit->addAction(showPassword, QLineEdit::TrailingPosition);
    notesEdit = new QPlainTextEdit(workingCopy.notes);
    notesEdit->setPlaceholderText(tr("Модель, серийный номер, объект, контакт…"));
    notesEdit->setMaximumHeight(85);
    const std::pair<QString, QWidget *> rows[] = {
        { tr("Название"), nameEdit },
        { tr("IP / имя хоста"), hostEdit },
        { tr("Порт"), portBox },
        { tr("Группа"), groupEdit },
        { tr("Пароль"), passwordEdit },
        { tr("Заметки"), notesEdit },
    };
    for (const auto &[label, field] : rows)
        form->addRow(label, named(field, label));
    contentLayout()->addLayout(form);

    auto *hint = new QLabel(
        tr("Пароль подключения: до %1 символов.").arg(PanelProfile::maxPasswordLength));
    hint->setObjectName(QStringLiteral("muted"));
    contentLayout()->addWidget(hint);
    rememberBox = checkBox(tr("Сохранить пароль в хранилище Windows"), workingCopy.remember);
    viewOnlyBox = checkBox(tr("Подключаться в режиме «только просмотр»"), workingCopy.viewOnly);
    reconnectBox
        = checkBox(tr("Переподключаться при обрыве (до 5 попыток)"), workingCopy.reconnect);
    contentLayout()->addWidget(rememberBox);
    contentLayout()->addWidget(viewOnlyBox);
    contentLayout()->addWidget(reconnectBox);
    compressionBox = checkBox(tr("Сжатие (медленный канал)"), workingCopy.compression);
    contentLayout()->addWidget(compressionBox);
    auto *compressionHint = new QLabel(tr("Для VPN, сотовой связи и загруженных линий: экран "
                                          "передаётся сжатым. В локальной сети не нужно."));
    compressionHint->setObjectName(QStringLiteral("muted"));
    compressionHint->setWordWrap(true);
    contentLayout()->addWidget(compressionHint);

    errorLabel = named(new QLabel, tr("Ошибка"));
    errorLabel->setObjectName(QStringLiteral("error"));
    errorLabel->setWordWrap(true);
    if (storedAtOpen == CredentialStore::ReadResult::Failed)
        errorLabel->setText(tr("Не удалось прочитать пароль из хранилища Windows. Оставьте поле "
                               "пустым, чтобы сохранить прежний пароль, или введите новый."));
    contentLayout()->addWidget(errorLabel);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel);
    QPushButton *saveButton = named(buttons->button(QDialogButtonBox::Save), tr("Сохранить"));
    saveButton->setText(tr("Сохранить"));
    saveButton->setObjectName(QStringLiteral("primary"));
    QPushButton *cancelButton = named(buttons->button(QDialogButtonBox::Cancel), tr("Отмена"));
    cancelButton->setText(tr("Отмена"));
    // Save is checked first; only a successful check accepts the dialog.
    connect(buttons, &QDialogButtonBox::accepted, this, &ProfileEditor::save);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    contentLayout()->addWidget(buttons);

    nameEdit->setFocus();
}

ProfileEditor::~ProfileEditor()
{
    // As far as a line edit can be wiped (see password.h); the working copy
    // wipes its password itself.
    passwordEdit->clear();
}

PanelProfile ProfileEditor::typed() const
{
    PanelProfile typed = workingCopy;
    typed.name = nameEdit->text();
    typed.host = hostEdit->text();
    typed.group = groupEdit->text();
    typed.password = Password::take(passwordEdit->text());
    typed.notes = notesEdit->toPlainText();
    typed.port = portBox->value();
    typed.remember = rememberBox->isChecked();
    typed.viewOnly = viewOnlyBox->isChecked();
    typed.reconnect = reconnectBox->isChecked();
    typed.compression = compressionBox->isChecked();
    return typed;
}

void ProfileEditor::save()
{
    const ProfileValidation checked = validateProfile(typed());
    if (!checked.ok()) {
        errorLabel->setText(checked.error);
        return;
    }
    // Writing the empty field would replace a password that could not be read.
    const bool keepStored = checked.profile.remember
        && storedAtOpen == CredentialStore::ReadResult::Failed && !passwordEdit->isModified()
        && passwordEdit->text().isEmpty();
    if (checked.profile.remember) {
        // An empty password is stored too: the panel then asks at every connection.
        if (!keepStored && !CredentialStore::writePassword(checked.profile)) {
            errorLabel->setText(tr("Не удалось сохранить пароль в Windows. Снимите флажок или "
                                   "проверьте доступ к хранилищу."));
            return;
        }
    } else {
        CredentialStore::deletePassword(checked.profile);
    }
    if (commit) {
        const QString failure = commit(checked.profile);
        if (!failure.isEmpty()) {
            // The record did not go in, so Cancel must leave the store as the book still says.
            if (keepStored || restoreStore())
                errorLabel->setText(failure);
            else
                errorLabel->setText(failure + QLatin1Char(' ')
                    + tr("Вернуть прежний пароль в хранилище Windows не удалось; проверьте его "
                         "при следующем подключении."));
            return;
        }
    }
    workingCopy = checked.profile;
    accept();
}

bool ProfileEditor::restoreStore() const
{
    switch (storedAtOpen) {
    case CredentialStore::ReadResult::Found:
        return CredentialStore::writePassword(workingCopy);
    case CredentialStore::ReadResult::NotStored:
        CredentialStore::deletePassword(workingCopy);
        return true;
    case CredentialStore::ReadResult::Failed:
        break;
    }
    return false; // what was stored could not be read, so it cannot be written back
}

void ProfileEditor::setCommit(const Commit &handler)
{
    commit = handler;
}

void ProfileEditor::togglePasswordEcho()
{
    passwordEdit->setEchoMode(
        passwordEdit->echoMode() == QLineEdit::Password ? QLineEdit::Normal : QLineEdit::Password);
}

bool ProfileEditor::edit(QWidget *parent, Mode mode, const PanelProfile &record,
    PanelProfile *result, const Commit &commit)
{
    QPointer<QWidget> owner(parent);
    QPointer<ProfileEditor> editor = new ProfileEditor(mode, record, parent);
    editor->setCommit(commit);
    const bool accepted = editor->exec() == QDialog::Accepted;
    // The owner may have gone away while the editor ran its own event loop,
    // taking the editor with it.
    if (!editor)
        return false;
    if (accepted && owner)
        *result = editor->profile();
    delete editor;
    return accepted && owner;
}
