// The settings store is a file: its folder holds the lock.
#include "singleinstance.h"

#include <QFileInfo>
#include <QSettings>

QString SingleInstance::lockFolder()
{
    return QFileInfo(QSettings().fileName()).absolutePath();
}

void SingleInstance::allowForegroundHandOver()
{
    // Window managers here take activation requests from any client.
}
