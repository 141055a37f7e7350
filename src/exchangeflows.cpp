#include "exchangeflows.h"

#include "atomicfile.h"
#include "exchangefile.h"
#include "userprompts.h"

#include <QFile>

namespace {

QString filter()
{
    return ExchangeFlows::tr("Адресная книга (*.json)");
}

} // namespace

bool ExchangeFlows::exportBook(UserPrompts &prompts, QWidget *parent, const AddressBook &book)
{
    const QString path = prompts.chooseFile(
        parent, tr("Экспорт без паролей"), QStringLiteral("Pelorin-panels.json"), filter(), true);
    if (path.isEmpty())
        return false;
    const bool written = writeFileAtomically(path, buildExchangeFile(book));
    prompts.notify(parent, tr("Экспорт"),
        written ? tr("Адресная книга сохранена. Пароли в файл не включены.")
                : tr("Не удалось записать файл."));
    return written;
}

std::optional<AddressBook> ExchangeFlows::chooseImport(UserPrompts &prompts, QWidget *parent)
{
    const QString path
        = prompts.chooseFile(parent, tr("Импорт адресной книги"), QString(), filter(), false);
    if (path.isEmpty())
        return std::nullopt;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        prompts.notify(parent, tr("Импорт"), tr("Не удалось прочитать файл."));
        return std::nullopt;
    }
    // One byte beyond the limit is enough to recognise a file as too large,
    // without reading a huge one whole.
    const QByteArray bytes = file.read(kExchangeFileMaxBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        prompts.notify(parent, tr("Импорт"), tr("Не удалось прочитать файл."));
        return std::nullopt;
    }

    const ExchangeFileResult parsed = parseExchangeFile(bytes);
    if (!parsed.ok) {
        prompts.notify(parent, tr("Импорт"), parsed.error);
        return std::nullopt;
    }
    if (!prompts.confirm(parent, tr("Импорт"),
            tr("Добавить %1 панелей? Существующие записи сохранятся. Пароли из файла не "
               "импортируются.")
                .arg(parsed.panels.size())))
        return std::nullopt;
    return parsed.panels;
}

QString ExchangeFlows::importJournalText(int count)
{
    return tr("Импорт адресной книги: %1 панелей").arg(count);
}
