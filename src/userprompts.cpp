#include "userprompts.h"

#include "chromedialog.h"

UserPrompts::~UserPrompts() = default;

bool UserPrompts::confirm(QWidget *parent, const QString &title, const QString &text)
{
    return ::confirm(parent, title, text);
}

void UserPrompts::notify(QWidget *parent, const QString &title, const QString &text)
{
    ::notify(parent, title, text);
}

QString UserPrompts::chooseFile(
    QWidget *parent, const QString &title, const QString &path, const QString &filter, bool save)
{
    return ::chooseFile(parent, title, path, filter, save);
}
