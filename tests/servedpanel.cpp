#include "servedpanel.h"

#include <QHostAddress>

ServedPanel::ServedPanel(int maxMinor, const QString &password, QSize size, QSize other)
    : panel(QStringLiteral("Тестовая панель"), size, other)
    , server(&panel, password, maxMinor)
{
    listening = server.listen(QHostAddress::LocalHost, 0);
}
