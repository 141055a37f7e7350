#include "servedpanel.h"

#include <QHostAddress>

ServedPanel::ServedPanel(int maxMinor, const QString &password, QSize size, QSize other)
    : panel(QStringLiteral("Тестовая панель"), size, other)
    , server(&panel, password, maxMinor)
{
    listening = server.listen(QHostAddress::LocalHost, 0);
}

TlsServedPanel::TlsServedPanel(const QString &password)
    : ServedPanel(8, password)
{
    ready = listening && certificate.create(folder.path(), QStringLiteral("localhost"))
        && server.setTls(RfbServerTls { certificate.certificate(), certificate.key() });
}

QString TlsServedPanel::errorString() const
{
    return !listening ? server.errorString() : certificate.errorString();
}
