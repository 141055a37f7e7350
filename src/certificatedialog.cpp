#include "certificatedialog.h"

#include "certificatefacts.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel *plain(const QString &text, QWidget *parent)
{
    // Names, hosts and certificate fields come from outside: never read as markup.
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

CertificateDialog::CertificateDialog(const CertificateFacts &facts, QWidget *parent)
    : ChromeDialog(tr("Подлинность панели не подтверждена"), parent)
{
    setMinimumWidth(560);

    contentLayout()->addWidget(plain(
        tr("Панель предъявила сертификат, которому система не доверяет. Сравните отпечаток с тем, "
           "что показывает сама панель или её администратор: если он совпадает, Пелорин запомнит "
           "сертификат и дальше будет подключаться к этой панели только с ним."),
        this));

    auto *form = new QFormLayout;
    form->addRow(tr("Панель"), plain(facts.panelName, this));
    form->addRow(tr("Адрес"), plain(facts.address, this));
    form->addRow(tr("Кому выдан"), plain(facts.subject, this));
    form->addRow(tr("Кем выдан"), plain(facts.issuer, this));
    form->addRow(tr("Действителен"), plain(facts.validity, this));
    QLabel *fingerprint = plain(facts.fingerprint, this);
    fingerprint->setObjectName(QStringLiteral("fingerprint"));
    fingerprint->setAccessibleName(tr("Отпечаток SHA-256"));
    fingerprint->setAccessibleDescription(facts.fingerprint);
    form->addRow(tr("SHA-256"), fingerprint);
    contentLayout()->addLayout(form);

    for (const QString &warning : facts.warnings) {
        QLabel *label = plain(warning, this);
        label->setProperty("warning", true);
        contentLayout()->addWidget(label);
    }

    auto *buttons = new QDialogButtonBox(this);
    QPushButton *trust
        = buttons->addButton(tr("Доверять этой панели"), QDialogButtonBox::AcceptRole);
    QPushButton *cancel = buttons->addButton(tr("Отмена"), QDialogButtonBox::RejectRole);
    trust->setAccessibleName(trust->text());
    cancel->setAccessibleName(cancel->text());
    trust->setAutoDefault(false);
    cancel->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    contentLayout()->addWidget(buttons);
    cancel->setFocus();
}

CertificateDialog::~CertificateDialog() = default;
