#include "profilevalidation.h"

#include <QCoreApplication>

namespace {

ProfileValidation refused(const QString &message)
{
    ProfileValidation result;
    result.error = message;
    return result;
}

QString tr(const char *text)
{
    return QCoreApplication::translate("ProfileValidation", text);
}

} // namespace

ProfileValidation validateProfile(const PanelProfile &typed)
{
    QString host = typed.host.trimmed();
    // The usual way to write an IPv6 literal next to a port; the port has its
    // own field here.
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (!PanelProfile::isUsableHost(host))
        return refused(tr("Введите IP или имя хоста без http:// и пути. Порт задаётся отдельно."));

    // Name and group count as typed: spaces around them count too.
    if (typed.name.size() > PanelProfile::maxNameLength
        || typed.group.size() > PanelProfile::maxGroupLength
        || typed.notes.size() > PanelProfile::maxNotesLength
        || host.size() > PanelProfile::maxHostLength) {
        return refused(tr("Слишком длинные поля: название и группа до %1, адрес до %2, заметки "
                          "до %3 символов.")
                           .arg(QString::number(PanelProfile::maxNameLength),
                               QString::number(PanelProfile::maxHostLength),
                               QString::number(PanelProfile::maxNotesLength)));
    }

    if (!typed.password.isLatin1())
        return refused(tr("Используйте пароль в Latin-1 (например, латиницу и цифры)."));

    ProfileValidation result;
    PanelProfile &profile = result.profile;
    profile = typed;
    profile.name = typed.name.trimmed();
    if (profile.name.isEmpty())
        profile.name = host;
    profile.host = host;
    profile.group = typed.group.trimmed();
    return result;
}
