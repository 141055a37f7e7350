#pragma once

#include "rfbserver.h"

#include <QList>
#include <QSize>
#include <QString>

// The four demo panels of pelorin-demo-panel, and the address book and workspace that make them
// ready to open in the workstation.
struct DemoPanelSetup
{
    QString id; // fixed, so a seeded workspace finds its panels again
    QString name;
    QSize size;
    QSize otherSize; // what the size button switches to
    QString password;
    int maxMinor; // 3: speaks only RFB 3.3
    bool running; // the machine is already running when the panel starts
    QString notes;
};

QList<DemoPanelSetup> demoPanelSetups();

// The line printed once a panel listens: its name first, its port as the last word.
QString demoPanelLine(const DemoPanelSetup &setup, quint16 port, bool tls = false);

// What --tls serves with: the demo's self-signed certificate for localhost and 127.0.0.1 and its
// key, both compiled in and published with the source, so the certificate proves nothing beyond
// the demo; the anonymous subtypes too where the TLS backend has them. Null certificate and key
// when the program has no TLS backend.
RfbServerTls demoTls();

enum class SeedResult { Written, Refused, Failed };

// Writes the group "Демо" of the panels on ports (same order as setups) as the whole address
// book, and a four-cell workspace holding them, into the program's settings file under
// settingsFolder (the folder XDG_CONFIG_HOME names for the program). Other keys stay.
// Refused, writing nothing, when the file holds an address book that an earlier seeding did
// not write (a marker key tells those apart): pointed at an operator's own settings folder it
// would replace the operator's panels.
SeedResult seedDemoSettings(const QString &settingsFolder, const QList<DemoPanelSetup> &setups,
    const QList<quint16> &ports);
