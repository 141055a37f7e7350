// The settings store is the registry, which has no folder: the user's local
// application data folder holds the lock.
#include "singleinstance.h"

#include <QStandardPaths>

#include <windows.h>

QString SingleInstance::lockFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

void SingleInstance::allowForegroundHandOver()
{
    // Only the process in the foreground (this new start) may let another one
    // take it; without this Windows merely flashes the running copy's button.
    AllowSetForegroundWindow(ASFW_ANY);
}
