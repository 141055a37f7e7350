#include "chromedialog.h"

#include "windowchrome.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QPushButton>
#include <QTextDocument>
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

QString plainToolTip(const QString &text)
{
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
}

bool confirm(QWidget *parent, const QString &title, const QString &text)
{
    // On the heap and guarded: the parent may be destroyed while the dialog runs
    // (a session closed under it), and a stack object would then be deleted twice.
    QPointer<ChromeDialog> dialog = new ChromeDialog(title, parent);
    dialog->setMinimumWidth(440);
    dialog->contentLayout()->addWidget(plainLabel(text, dialog.data()));

    auto *buttons =
            new QDialogButtonBox(QDialogButtonBox::Yes | QDialogButtonBox::Cancel, dialog.data());
    buttons->button(QDialogButtonBox::Yes)->setText(ChromeDialog::tr("Продолжить"));
    buttons->button(QDialogButtonBox::Cancel)->setText(ChromeDialog::tr("Отмена"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog.data(), &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog.data(), &QDialog::reject);
    dialog->contentLayout()->addWidget(buttons);

    const bool accepted = dialog->exec() == QDialog::Accepted && dialog;
    delete dialog;
    return accepted;
}

void notify(QWidget *parent, const QString &title, const QString &text)
{
    QPointer<ChromeDialog> dialog = new ChromeDialog(title, parent);
    dialog->setMinimumWidth(420);
    dialog->contentLayout()->addWidget(plainLabel(text, dialog.data()));

    auto *ok = new QPushButton(ChromeDialog::tr("Понятно"), dialog.data());
    QObject::connect(ok, &QPushButton::clicked, dialog.data(), &QDialog::accept);
    dialog->contentLayout()->addWidget(ok);

    dialog->exec();
    delete dialog;
}

QString chooseFile(QWidget *parent, const QString &title, const QString &path,
                   const QString &filter, bool save)
{
    QPointer<QFileDialog> dialog = new QFileDialog(parent, title, path, filter);
    // Qt's own dialog can be frameless and follows the style sheet.
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setWindowFlags(dialogFlags);

    dialog->setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog->setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog->setLabelText(QFileDialog::LookIn, ChromeDialog::tr("Папка"));
    dialog->setLabelText(QFileDialog::FileName, ChromeDialog::tr("Имя файла"));
    dialog->setLabelText(QFileDialog::FileType, ChromeDialog::tr("Тип файла"));
    dialog->setLabelText(QFileDialog::Accept,
                        save ? ChromeDialog::tr("Сохранить") : ChromeDialog::tr("Открыть"));
    dialog->setLabelText(QFileDialog::Reject, ChromeDialog::tr("Отмена"));

    if (save) {
        if (filter.contains(QLatin1String("*.png")))
            dialog->setDefaultSuffix(QStringLiteral("png"));
        else if (filter.contains(QLatin1String("*.json")))
            dialog->setDefaultSuffix(QStringLiteral("json"));
        else
            dialog->setDefaultSuffix(QStringLiteral("txt"));
    }

    if (QLayout *layout = dialog->layout())
        layout->setMenuBar(createTitleBar(dialog.data(), title, false));
    dialog->resize(800, 540);
    installResizeFilter(dialog.data());

    QString chosen;
    if (dialog->exec() == QDialog::Accepted && dialog) {
        const QStringList files = dialog->selectedFiles();
        if (!files.isEmpty())
            chosen = files.first();
    }
    delete dialog;
    return chosen;
}
