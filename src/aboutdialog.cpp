#include "aboutdialog.h"

#include "licencesdialog.h"

#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// The year of this release, named with the maker on the first line.
constexpr int releaseYear = 2026;

QLabel *wrapped(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

} // namespace

AboutDialog::AboutDialog(QWidget *parent)
    : ChromeDialog(tr("О программе"), parent)
{
    setMinimumWidth(570);
    QVBoxLayout *layout = contentLayout();

    auto *logo = new QLabel(this);
    logo->setPixmap(QPixmap(QStringLiteral(":/assets/logo.png"))
                        .scaled(118, 124, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    layout->addWidget(logo, 0, Qt::AlignHCenter);

    auto *title = new QLabel(tr("Пелорин — удалённый доступ 2.0"), this);
    title->setObjectName(QStringLiteral("sessionTitle"));
    layout->addWidget(title);

    layout->addWidget(wrapped(tr("© %1 Пелорин и К\n\nРабочее место для удалённого доступа к "
                                 "панелям оборудования: управление, наблюдение и диагностика.")
                                  .arg(releaseYear),
        this));

    // The address comes from whoever builds the program: escape it before it
    // becomes markup.
    const QString url = websiteUrl();
    const QUrl parsed(url);
    QString shown = parsed.host() + parsed.path();
    if (shown.endsWith(QLatin1Char('/')))
        shown.chop(1);
    auto *link = new QLabel(QStringLiteral("<a href=\"%1\" style=\"color:#62deba;\">%2</a>")
                                .arg(url.toHtmlEscaped(), shown.toHtmlEscaped()),
        this);
    link->setTextFormat(Qt::RichText);
    link->setOpenExternalLinks(true);
    link->setTextInteractionFlags(Qt::TextBrowserInteraction);
    link->setAccessibleName(shown);
    layout->addWidget(link);

    auto *warning = wrapped(tr("Соединение не шифрует экран и ввод. Для доступа через интернет "
                               "используйте VPN.\n\nПрограмма использует Qt и другие сторонние "
                               "компоненты."),
        this);
    warning->setObjectName(QStringLiteral("muted"));
    layout->addWidget(warning);

    auto *licences = new QPushButton(tr("Лицензии сторонних компонентов"), this);
    licences->setAccessibleName(licences->text());
    connect(licences, &QPushButton::clicked, this, [this] { LicencesDialog::run(this); });
    layout->addWidget(licences);

    auto *close = new QPushButton(tr("Закрыть"), this);
    close->setAccessibleName(close->text());
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(close);
}

QString AboutDialog::websiteUrl()
{
    return QStringLiteral(PELORIN_WEBSITE_URL);
}

void AboutDialog::run(QWidget *parent)
{
    QPointer<AboutDialog> dialog = new AboutDialog(parent);
    dialog->exec();
    delete dialog;
}
