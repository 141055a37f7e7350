#include "profileeditor.h"

#include "credentialstore.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

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
    passwordEdit = lineEdit(
        shown, tr("Пусто — без пароля"), PanelProfile::passwordLimit(workingCopy.encryption));
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

    passwordHint = named(new QLabel, tr("Подсказка к паролю"));
    passwordHint->setObjectName(QStringLiteral("muted"));
    passwordHint->setWordWrap(true);
    contentLayout()->addWidget(passwordHint);
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

    encryptionForm = new QFormLayout;
    encryptionForm->setSpacing(12);
    encryptionBox = new QComboBox;
    encryptionBox->addItem(tr("Нет"), int(PanelProfile::Encryption::Off));
    encryptionBox->addItem(tr("Если панель предлагает"), int(PanelProfile::Encryption::Preferred));
    encryptionBox->addItem(tr("Обязательно"), int(PanelProfile::Encryption::Required));
    encryptionBox->setCurrentIndex(encryptionBox->findData(int(workingCopy.encryption)));
    userNameEdit = lineEdit(workingCopy.userName, tr("Для панелей со входом по имени"));
    encryptionForm->addRow(tr("Шифрование"), named(encryptionBox, tr("Шифрование")));
    // Qt's bridge on Linux names a combo box by its current text; the description says what
    // the choice is for.
    encryptionBox->setAccessibleDescription(encryptionBox->accessibleName());
    encryptionForm->addRow(tr("Пользователь"), named(userNameEdit, tr("Пользователь")));

    certificateRow = new QWidget;
    auto *certificateLayout = new QHBoxLayout(certificateRow);
    certificateLayout->setContentsMargins(0, 0, 0, 0);
    // The pin comes from the settings or a file: never rendered as markup.
    fingerprintLabel = named(new QLabel, tr("Отпечаток сертификата"));
    fingerprintLabel->setTextFormat(Qt::PlainText);
    fingerprintLabel->setWordWrap(true);
    fingerprintLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    forgetButton = named(new QPushButton(tr("Забыть сертификат")), tr("Забыть сертификат"));
    connect(forgetButton, &QPushButton::clicked, this, &ProfileEditor::forgetCertificate);
    certificateLayout->addWidget(fingerprintLabel, 1);
    certificateLayout->addWidget(forgetButton);
    encryptionForm->addRow(tr("Сертификат"), certificateRow);
    contentLayout()->addLayout(encryptionForm);
    certificateNote = named(new QLabel, tr("Сертификат будет забыт"));
    certificateNote->setObjectName(QStringLiteral("muted"));
    certificateNote->setWordWrap(true);
    contentLayout()->addWidget(certificateNote);
    connect(
        encryptionBox, &QComboBox::currentIndexChanged, this, &ProfileEditor::onEncryptionChanged);
    connect(hostEdit, &QLineEdit::textChanged, this, &ProfileEditor::updateCertificateRow);
    connect(portBox, &QSpinBox::valueChanged, this, &ProfileEditor::updateCertificateRow);
    onEncryptionChanged();
    updateCertificateRow();

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
    typed.encryption = chosenEncryption();
    typed.userName = userNameEdit->text();
    // A pin names the certificate of the panel at one address; another address is
    // another panel until the operator trusts it.
    if (certificateForgotten || addressChanged())
        typed.certificateSha256.clear();
    return typed;
}

PanelProfile::Encryption ProfileEditor::chosenEncryption() const
{
    return PanelProfile::Encryption(encryptionBox->currentData().toInt());
}

void ProfileEditor::onEncryptionChanged()
{
    const PanelProfile::Encryption encryption = chosenEncryption();
    const int limit = PanelProfile::passwordLimit(encryption);
    // Never below what was typed: a password too long for the plain session stays, and
    // Save says why it cannot be kept. Setting the length resets the field's modified flag,
    // which tells an untouched field from an emptied one.
    const int maxLength = std::max(limit, int(passwordEdit->text().size()));
    if (passwordEdit->maxLength() != maxLength) {
        const bool modified = passwordEdit->isModified();
        passwordEdit->setMaxLength(maxLength);
        passwordEdit->setModified(modified);
    }
    passwordHint->setText(PanelProfile::passwordNeedsLatin1(encryption)
            ? tr("Пароль подключения: до %1 символов.").arg(limit)
            : tr("Пароль подключения: до %1 символов любого алфавита; для пароля VNC "
                 "берутся первые %2 символов Latin-1.")
                  .arg(QString::number(limit), QString::number(PanelProfile::maxPasswordLength)));
}

bool ProfileEditor::addressChanged() const
{
    return PanelProfile::normalizedHost(hostEdit->text())
        != PanelProfile::normalizedHost(workingCopy.host)
        || portBox->value() != workingCopy.port;
}

void ProfileEditor::forgetCertificate()
{
    certificateForgotten = true;
    updateCertificateRow();
}

void ProfileEditor::setStoredCertificate(const QString &sha256)
{
    workingCopy.certificateSha256 = sha256;
    certificateForgotten = false;
    updateCertificateRow();
}

void ProfileEditor::updateCertificateRow()
{
    const QString &pin = workingCopy.certificateSha256;
    encryptionForm->setRowVisible(certificateRow, !pin.isEmpty());
    QString shown = PanelProfile::groupedFingerprint(pin);
    if (!PanelProfile::isWellFormedPin(pin)) {
        // A damaged pin is still a pin (it refuses every certificate); show what it holds.
        constexpr int shownLength = 80;
        if (shown.size() > shownLength) {
            qsizetype keep = shownLength - 1;
            if (shown.at(keep - 1).isHighSurrogate())
                --keep;
            shown = shown.left(keep) + QChar(0x2026);
        }
        shown = tr("%1 (повреждён: не подходит ни к одному сертификату)").arg(shown);
    }
    fingerprintLabel->setText(shown);
    forgetButton->setEnabled(!certificateForgotten);
    QString note;
    if (!pin.isEmpty() && certificateForgotten)
        note = tr("Сертификат будет забыт при сохранении.");
    else if (!pin.isEmpty() && addressChanged())
        note = tr("Адрес панели изменён: сертификат будет забыт при сохранении.");
    certificateNote->setText(note);
    certificateNote->setVisible(!note.isEmpty());
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
