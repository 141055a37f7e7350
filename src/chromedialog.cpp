#include "chromedialog.h"

#include "windowchrome.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr Qt::WindowFlags dialogFlags = Qt::Dialog | Qt::FramelessWindowHint;

QLabel *plainLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

} // namespace

ChromeDialog::ChromeDialog(const QString &title, QWidget *parent) : QDialog(parent, dialogFlags)
{
    setWindowTitle(title);
    setWindowIcon(QIcon(QStringLiteral(":/assets/logo.png")));

    // The 1-pixel margin leaves room for the border the style sheet draws.
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(1, 1, 1, 1);
    outer->setSpacing(0);
    outer->addWidget(createTitleBar(this, title, false));

    auto *body = new QWidget(this);
    bodyLayout = new QVBoxLayout(body);
    bodyLayout->setContentsMargins(24, 18, 24, 22);
    bodyLayout->setSpacing(12);
    outer->addWidget(body, 1);

    installResizeFilter(this);
}

ChromeDialog::~ChromeDialog() = default;

QVBoxLayout *ChromeDialog::contentLayout() const
{
    return bodyLayout;
}

bool confirm(QWidget *parent, const QString &title, const QString &text)
{
    ChromeDialog dialog(title, parent);
    dialog.setMinimumWidth(440);
    dialog.contentLayout()->addWidget(plainLabel(text, &dialog));

    auto *buttons =
            new QDialogButtonBox(QDialogButtonBox::Yes | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Yes)->setText(ChromeDialog::tr("Продолжить"));
    buttons->button(QDialogButtonBox::Cancel)->setText(ChromeDialog::tr("Отмена"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    dialog.contentLayout()->addWidget(buttons);

    return dialog.exec() == QDialog::Accepted;
}

void notify(QWidget *parent, const QString &title, const QString &text)
{
    ChromeDialog dialog(title, parent);
    dialog.setMinimumWidth(420);
    dialog.contentLayout()->addWidget(plainLabel(text, &dialog));

    auto *ok = new QPushButton(ChromeDialog::tr("Понятно"), &dialog);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    dialog.contentLayout()->addWidget(ok);

    dialog.exec();
}

QString chooseFile(QWidget *parent, const QString &title, const QString &path,
                   const QString &filter, bool save)
{
    QFileDialog dialog(parent, title, path, filter);
    // Qt's own dialog can be frameless and follows the style sheet.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setWindowFlags(dialogFlags);

    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setLabelText(QFileDialog::LookIn, ChromeDialog::tr("Папка"));
    dialog.setLabelText(QFileDialog::FileName, ChromeDialog::tr("Имя файла"));
    dialog.setLabelText(QFileDialog::FileType, ChromeDialog::tr("Тип файла"));
    dialog.setLabelText(QFileDialog::Accept,
                        save ? ChromeDialog::tr("Сохранить") : ChromeDialog::tr("Открыть"));
    dialog.setLabelText(QFileDialog::Reject, ChromeDialog::tr("Отмена"));

    if (save) {
        if (filter.contains(QLatin1String("*.png")))
            dialog.setDefaultSuffix(QStringLiteral("png"));
        else if (filter.contains(QLatin1String("*.json")))
            dialog.setDefaultSuffix(QStringLiteral("json"));
        else
            dialog.setDefaultSuffix(QStringLiteral("txt"));
    }

    if (QLayout *layout = dialog.layout())
        layout->setMenuBar(createTitleBar(&dialog, title, false));
    dialog.resize(800, 540);
    installResizeFilter(&dialog);

    if (dialog.exec() != QDialog::Accepted)
        return {};
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}
