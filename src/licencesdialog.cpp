#include "licencesdialog.h"

#include <QFile>
#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace {

// The whole resource as UTF-8 text, or nothing when it cannot be opened.
bool readResource(const QString &path, QString *text)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *text = QString::fromUtf8(file.readAll());
    return true;
}

} // namespace

LicencesDialog::LicencesDialog(QWidget *parent)
    : ChromeDialog(tr("Сторонние компоненты"), parent)
{
    resize(820, 600);

    browser = new QTextBrowser(this);
    browser->setOpenExternalLinks(true);
    browser->setAccessibleName(tr("Сторонние компоненты"));
    QString notice;
    if (readResource(QStringLiteral(":/THIRD_PARTY.md"), &notice))
        browser->setMarkdown(notice);
    contentLayout()->addWidget(browser, 1);

    auto *buttons = new QHBoxLayout;
    const struct
    {
        QString label;
        QString resource;
    } licences[] = {
        { tr("LGPL v3"), QStringLiteral(":/licenses/LGPL-3.0.txt") },
        { tr("GPL v3"), QStringLiteral(":/licenses/GPL-3.0.txt") },
    };
    for (const auto &licence : licences) {
        auto *button = new QPushButton(licence.label, this);
        button->setAccessibleName(licence.label);
        connect(button, &QPushButton::clicked, this,
            [this, resource = licence.resource] { showLicence(resource); });
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    contentLayout()->addLayout(buttons);
}

void LicencesDialog::showLicence(const QString &resource)
{
    QString text;
    if (readResource(resource, &text))
        browser->setPlainText(text);
}

void LicencesDialog::run(QWidget *parent)
{
    QPointer<LicencesDialog> dialog = new LicencesDialog(parent);
    dialog->exec();
    delete dialog;
}
