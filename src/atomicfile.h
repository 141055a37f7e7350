#pragma once

#include <QByteArray>
#include <QString>

// Writes bytes to path through a save file: the target is replaced only when
// every byte was written and the commit succeeded, so a failed write leaves an
// existing file as it was. True on success.
bool writeFileAtomically(const QString &path, const QByteArray &bytes);
