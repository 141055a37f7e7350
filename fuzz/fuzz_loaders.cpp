// libFuzzer target: what the program reads from files besides the wire. Built once per mode
// (FUZZ_MODE_*), each mode taking its input the way the program meets it:
//
//   exchangefile   the whole bytes of an address book exchange file (parseExchangeFile)
//   profiles       the JSON bytes stored under "profiles", read as loadProfiles() reads them
//                  (profilesFromValue); saving checked through the value it would store
//   workspace      the JSON bytes stored under "workspaceV2", read as the main window restores
//                  the workspace (WorkspaceDocument, then CellRules)
//   journal        the value stored under "journalV2": byte 0 picks the type a settings store
//                  may hand over, the rest is its content (see journalValue()); saving checked
//                  through the value it would store
//   settingsfile   the text of the whole settings file, read through the default settings
//                  object as the program starts: the address book (with the backup of a damaged
//                  one) and the journal, then both saved and read again. Slower: a file per input
//
// Settings live in a temporary folder made in LLVMFuzzerInitialize; the user's are never read.
//
// Invariants checked on every input (abort on violation): what a loader accepts obeys the limits
// the program relies on (ids present and unique, hosts usable, ports in range, cells without a
// repeated panel), loading the same value again gives the same result, loading writes nothing,
// and what the program writes back reads back the same.
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
#include <QVariant>

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

#if defined(FUZZ_MODE_EXCHANGEFILE)
// Fields as the book keeps them, without the id (an import gives fresh ones).
bool sameFields(const PanelProfile &a, const PanelProfile &b)
{
    return a.name == b.name && a.host == b.host && a.group == b.group && a.notes == b.notes
        && a.port == b.port && a.viewOnly == b.viewOnly && a.reconnect == b.reconnect
        && a.compression == b.compression && a.encryption == b.encryption
        && a.userName == b.userName && a.certificateSha256 == b.certificateSha256;
}
#endif

#if defined(FUZZ_MODE_PROFILES) || defined(FUZZ_MODE_SETTINGSFILE)
// What the program relies on in a loaded book.
void checkBook(const AddressBook &book)
{
    QSet<QString> ids;
    for (const PanelProfile &p : book) {
        check(!p.id.isEmpty() && !ids.contains(p.id), "ids present and unique");
        ids.insert(p.id);
        check(!p.host.isEmpty(), "host present");
        check(p.port >= 1 && p.port <= 65535, "port in range");
        check(p.password.isEmpty(), "no password read");
    }
}
#endif

#if defined(FUZZ_MODE_JOURNAL) || defined(FUZZ_MODE_SETTINGSFILE)
// An append keeps the bound and the export its header.
void checkAppend(Journal &journal)
{
    const qsizetype loaded = journal.lines().size();
    journal.append(QStringLiteral("Печь · 10.0.0.1:5900 · Соединение установлено"));
    check(journal.lines().size() == std::min<qsizetype>(loaded + 1, Journal::maxLines),
        "an append keeps at most maxLines");
    check(journal.lines().constLast().endsWith(QStringLiteral("Соединение установлено")),
        "the new line is the last");
    check(journal.exportBytes().startsWith(
              QStringLiteral("Пелорин — удалённый доступ 2.0\n").toUtf8()),
        "the export starts with its header");
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
    const AddressBook book = profilesFromValue(input);
    checkBook(book);
    // Repaired ids included: a start writes nothing, so the next one must agree.
    check(profilesFromValue(input) == book, "the same book at every load");
    // What saveProfiles() would store, read at the next start: the same book, no damage.
    bool damaged = true;
    check(profilesFromValue(profilesValue(book), &damaged) == book,
        "the same panels at the next start");
    check(!damaged, "a saved book loads without damage");
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
// The value under "journalV2" as a settings store may hand it over, from the input: byte 0 picks
// the type, the rest is the content, text as UTF-16 code units (lone surrogates and NUL too, as
// an INI file's escapes give them) and lines apart at line feeds:
//   0      a list of strings, as the program writes it
//   1      one string (an INI list of one)
//   2      bytes, as an INI "@ByteArray(...)" value gives them
//   else   no value
QVariant journalValue(const QByteArray &input)
{
    const QByteArray content = input.mid(1);
    const QString text(reinterpret_cast<const QChar *>(content.constData()), content.size() / 2);
    switch (input.isEmpty() ? 3 : quint8(input.at(0))) {
    case 0:
        return text.split(QLatin1Char('\n'));
    case 1:
        return text;
    case 2:
        return content;
    default:
        return QVariant();
    }
}

void fuzzOne(const QByteArray &input)
{
    Journal journal;
    journal.restoreFromValue(journalValue(input));
    checkAppend(journal);
    // What the close would save, the next start reads back the same.
    Journal reread;
    reread.restoreFromValue(journal.settingsValue());
    check(reread.lines() == journal.lines(), "a saved journal reads back the same");
}

#elif defined(FUZZ_MODE_SETTINGSFILE)
// Points the default settings object at a new folder: QSettings keeps a parsed file while its
// size and time stamp look unchanged, which two files written within one clock tick may share.
// Returns the folder.
QString freshSettings()
{
    static quint64 serial = 0;
    const QString folder = settingsDir->filePath(QString::number(++serial));
    check(QDir().mkpath(folder + QStringLiteral("/Pelorin")), "settings folder made");
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
    return folder;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void fuzzOne(const QByteArray &input)
{
    const QString first = freshSettings();
    const QString path = QSettings().fileName();
    {
        QFile file(path);
        check(file.open(QIODevice::WriteOnly) && file.write(input) == input.size(),
            "settings file written");
    }

    // As the main window starts: the book, then the journal; neither writes anything.
    QByteArray damaged;
    const AddressBook book = loadProfiles(&damaged);
    checkBook(book);
    Journal journal;
    {
        QSettings settings;
        journal.restoreFromSettings(settings, QStringLiteral("journalV2"));
        check(
            damaged.isNull() || damaged == settings.value(QStringLiteral("profiles")).toByteArray(),
            "the damaged value is handed back as stored");
    }
    check(fileBytes(path) == input, "loading writes nothing");

    // The notice keeps a damaged value, then the close saves the book and the journal. Over a
    // file it cannot parse whole QSettings may report a write as failed, which the program
    // tells the operator; a write that reports success must read back the same.
    checkAppend(journal);
    bool saved = damaged.isNull() || keepProfilesBackup(damaged);
    saved = saved && saveProfiles(book);
    {
        QSettings settings;
        saved = saved && journal.saveSettings(settings, QStringLiteral("journalV2"));
    }
    if (!saved) {
        QDir(first).removeRecursively();
        return;
    }

    // The next start, from the file as written, parsed afresh.
    const QString next = freshSettings();
    check(QFile::copy(path, QSettings().fileName()), "settings file copied");
    QByteArray again;
    check(loadProfiles(&again) == book && again.isNull(), "the same panels at the next start");
    check(damaged.isNull()
            || QSettings().value(QStringLiteral("profilesBackup")).toByteArray() == damaged,
        "the backup holds the stored value");
    Journal reread;
    {
        QSettings settings;
        reread.restoreFromSettings(settings, QStringLiteral("journalV2"));
    }
    check(reread.lines() == journal.lines(), "a saved journal reads back the same");
    QDir(first).removeRecursively();
    QDir(next).removeRecursively();
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
