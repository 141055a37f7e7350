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
    const QString host = PanelProfile::normalizedHost(typed.host);
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

    // Without encryption only VNC authentication can use the password: eight Latin-1
    // characters. A longer one typed while encryption was on is refused, never cut.
    if (PanelProfile::passwordNeedsLatin1(typed.encryption)) {
        if (!typed.password.isLatin1())
            return refused(tr("Используйте пароль в Latin-1 (например, латиницу и цифры)."));
        if (typed.password.size() > PanelProfile::maxPasswordLength)
            return refused(tr("Используйте до %1 символов Latin-1 (латиница, цифры).")
                               .arg(PanelProfile::maxPasswordLength));
    } else if (typed.password.size() > PanelProfile::maxEncryptedPasswordLength) {
        return refused(tr("Пароль для шифрованного соединения: до %1 символов.")
                           .arg(PanelProfile::maxEncryptedPasswordLength));
    }

    if (typed.userName.size() > PanelProfile::maxUserNameLength)
        return refused(
            tr("Имя пользователя: до %1 символов.").arg(PanelProfile::maxUserNameLength));

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
