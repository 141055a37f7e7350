// libFuzzer target: what the program reads from files besides the wire. Built once per mode
// (FUZZ_MODE_*), each mode taking its input the way the program meets it:
//
//   exchangefile   the whole bytes of an address book exchange file (parseExchangeFile)
//   profiles       the JSON bytes stored under "profiles", read by loadProfiles()
//   workspace      the JSON bytes stored under "workspaceV2", read as the main window restores
//                  the workspace (WorkspaceDocument, then CellRules)
//   journal        the text of the whole settings file, whose "journalV2" the main window reads
//
// Settings live in a temporary folder made in LLVMFuzzerInitialize; the user's are never read.
//
// Invariants checked on every input (abort on violation): what a loader accepts obeys the limits
// the program relies on (ids present and unique, hosts usable, ports in range, cells without a
// repeated panel), and what the program writes back reads back the same.
#include "addressbook.h"
#include "cellrules.h"
#include "exchangefile.h"
#include "fuzzsupport.h"
#include "journal.h"
#include "workspacedocument.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

std::unique_ptr<QTemporaryDir> settingsDir;

QByteArray bytesOf(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

#if defined(FUZZ_MODE_EXCHANGEFILE) || defined(FUZZ_MODE_PROFILES)
// Fields as the book keeps them, without the id (an import gives fresh ones).
bool sameFields(const PanelProfile &a, const PanelProfile &b)
{
    return a.name == b.name && a.host == b.host && a.group == b.group && a.notes == b.notes
        && a.port == b.port && a.viewOnly == b.viewOnly && a.reconnect == b.reconnect
        && a.compression == b.compression && a.encryption == b.encryption
        && a.userName == b.userName && a.certificateSha256 == b.certificateSha256;
}
#endif

#if defined(FUZZ_MODE_EXCHANGEFILE)
void fuzzOne(const QByteArray &input)
{
    const ExchangeFileResult result = parseExchangeFile(input);
    check(result.ok == result.error.isEmpty(), "an error exactly when refused");
    if (!result.ok) {
        check(result.panels.isEmpty(), "a refused file gives no panels");
        return;
    }
    check(result.panels.size() <= kExchangeFileMaxPanels, "panel count within the limit");
    QSet<QString> ids;
    for (const PanelProfile &p : result.panels) {
        check(!p.id.isEmpty() && !ids.contains(p.id), "fresh unique ids");
        ids.insert(p.id);
        check(PanelProfile::isUsableHost(p.host) && p.host.size() <= PanelProfile::maxHostLength,
            "usable host");
        check(p.port >= 1 && p.port <= 65535, "port in range");
        check(
            !p.name.isEmpty() && (p.name.size() <= PanelProfile::maxNameLength || p.name == p.host),
            "a name within the limit, or the host standing in for it");
        check(p.group.size() <= PanelProfile::maxGroupLength
                && p.notes.size() <= PanelProfile::maxNotesLength
                && p.userName.size() <= PanelProfile::maxUserNameLength,
            "group, notes and user name within limits");
        check(!p.remember && p.password.isEmpty(), "no password comes in");
    }
    // What the export writes, the import takes back unchanged.
    const ExchangeFileResult again = parseExchangeFile(buildExchangeFile(result.panels));
    check(again.ok && again.panels.size() == result.panels.size(), "an export imports again");
    for (qsizetype i = 0; i < again.panels.size(); ++i)
        check(sameFields(again.panels.at(i), result.panels.at(i)), "an export keeps every field");
}

#elif defined(FUZZ_MODE_PROFILES)
void fuzzOne(const QByteArray &input)
{
    {
        QSettings settings;
        settings.clear();
        settings.setValue(QStringLiteral("profiles"), input);
        settings.sync();
    }
    QByteArray damaged;
    const AddressBook book = loadProfiles(&damaged);
    QSet<QString> ids;
    for (const PanelProfile &p : book) {
        check(!p.id.isEmpty() && !ids.contains(p.id), "ids present and unique");
        ids.insert(p.id);
        check(!p.host.isEmpty(), "host present");
        check(p.port >= 1 && p.port <= 65535, "port in range");
        check(p.password.isEmpty(), "no password read");
    }
    {
        QSettings settings;
        check(settings.value(QStringLiteral("profiles")).toByteArray() == input,
            "loading writes nothing");
    }
    if (!damaged.isNull()) {
        check(damaged == input, "the damaged value is handed back as stored");
        check(keepProfilesBackup(damaged), "the backup is written");
        QSettings settings;
        check(settings.value(QStringLiteral("profilesBackup")).toByteArray() == input,
            "the backup holds the stored value");
    }
    // Saved and loaded again, as at the next start: the same book, no damage.
    check(saveProfiles(book), "the book is saved");
    QByteArray second;
    const AddressBook reloaded = loadProfiles(&second);
    check(second.isNull(), "a saved book loads without damage");
    check(reloaded.size() == book.size(), "the same number of panels at the next start");
    for (qsizetype i = 0; i < book.size(); ++i)
        check(reloaded.at(i).id == book.at(i).id && sameFields(reloaded.at(i), book.at(i))
                && reloaded.at(i).remember == book.at(i).remember,
            "the same panels at the next start");
}

#elif defined(FUZZ_MODE_WORKSPACE)
void fuzzOne(const QByteArray &input)
{
    // One settings object for the whole run: the value is read back from it as the program
    // reads it, without a file write per input.
    static QSettings settings;
    settings.setValue(QStringLiteral("workspaceV2"), input);
    const WorkspaceDocument document
        = WorkspaceDocument::fromSettings(settings, QStringLiteral("workspaceV2"));
    check(CellRules::isLayoutMode(document.mode), "a layout mode");
    check(document.cellIds.size() == WorkspaceDocument::cellCount, "four cells");
    QSet<QString> placed;
    for (const QString &id : std::as_const(document.cellIds)) {
        check(id.isEmpty() || !placed.contains(id), "no panel in two cells");
        placed.insert(id);
    }
    QStringList sessionIds;
    for (const WorkspaceDocument::SessionState &s : std::as_const(document.sessions)) {
        check(s.zoom >= 0 && s.zoom <= WorkspaceDocument::maxZoomIndex, "zoom index in range");
        sessionIds.append(s.id);
    }
    // The window saves each session's own view-only state, so an unset one is saved as false.
    WorkspaceDocument saved = document;
    for (WorkspaceDocument::SessionState &s : saved.sessions)
        s.viewOnly = s.viewOnly.value_or(false);
    check(
        WorkspaceDocument::fromJson(saved.toJson()) == saved, "what is saved reads back the same");

    // The main window's restore, then the layout changes an operator may make.
    CellRules cells;
    cells.restore(document.mode, document.cellIds);
    check(cells.cellIds() == document.cellIds && cells.layoutMode() == document.mode,
        "cells restored as stored");
    for (int count : { 4, 2, 1 }) {
        cells.setLayoutMode(count, sessionIds);
        QSet<QString> seen;
        for (const QString &id : cells.cellIds()) {
            check(id.isEmpty() || !seen.contains(id), "no panel in two cells after a change");
            seen.insert(id);
        }
        const QString selected = cells.fixSelection(document.active, sessionIds);
        check(selected.isEmpty() || cells.isShown(selected), "the selection is shown");
    }
}

#elif defined(FUZZ_MODE_JOURNAL)
void fuzzOne(const QByteArray &input)
{
    // A new file name each time: QSettings keeps a parsed file while its size and time stamp
    // look unchanged, which two inputs written within one clock tick may share.
    static quint64 serial = 0;
    const QString path = settingsDir->filePath(QStringLiteral("journal%1.conf").arg(++serial));
    {
        QFile file(path);
        check(file.open(QIODevice::WriteOnly) && file.write(input) == input.size(),
            "settings file written");
    }
    Journal journal;
    {
        QSettings settings(path, QSettings::IniFormat);
        journal.restoreFromSettings(settings, QStringLiteral("journalV2"));
    }
    QFile::remove(path);
    const qsizetype loaded = journal.lines().size();

    journal.append(QStringLiteral("Печь · 10.0.0.1:5900 · Соединение установлено"));
    check(journal.lines().size() == std::min<qsizetype>(loaded + 1, Journal::maxLines),
        "an append keeps at most maxLines");
    check(journal.lines().constLast().endsWith(QStringLiteral("Соединение установлено")),
        "the new line is the last");
    check(journal.exportBytes().startsWith(
              QStringLiteral("Пелорин — удалённый доступ 2.0\n").toUtf8()),
        "the export starts with its header");

    // What the close saves, the next start reads back the same.
    const QString saved = settingsDir->filePath(QStringLiteral("saved.conf"));
    {
        QSettings settings(saved, QSettings::IniFormat);
        settings.clear();
        check(journal.saveSettings(settings, QStringLiteral("journalV2")), "journal saved");
    }
    Journal reread;
    {
        QSettings settings(saved, QSettings::IniFormat);
        reread.restoreFromSettings(settings, QStringLiteral("journalV2"));
    }
    check(reread.lines() == journal.lines(), "a saved journal reads back the same");
}
#else
#error "define one FUZZ_MODE_*"
#endif

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qInstallMessageHandler(quiet);
    // Every settings save syncs its file to disk; on a memory file system that costs nothing.
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    const QString base = shm.isDir() && shm.isWritable() ? shm.filePath() : QDir::tempPath();
    settingsDir = std::make_unique<QTemporaryDir>(base + QStringLiteral("/pelorin-fuzz-XXXXXX"));
    check(settingsDir->isValid(), "temporary settings folder");
    // Before the first settings access, so the default settings object lives there too.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(settingsDir->path()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir->path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir->path());
    static QCoreApplication app(*argc, *argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Pelorin"));
    QCoreApplication::setApplicationName(QStringLiteral("PelorinVNC"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzOne(bytesOf(data, size));
    return 0;
}
