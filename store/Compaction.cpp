#include "store/Compaction.h"

#include "platform/Database.h"
#include "platform/FileAccess.h"
#include "store/SearchIndex.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// How long taking the database waits for another connection to let go.
constexpr int kHoldBusyTimeoutMs = 1000;

// Files the engine keeps next to a database while it is in use.
const char* const kSideFileSuffixes[] = {"-journal", "-wal", "-shm"};

// A failure found by this module itself rather than by the engine or the file system.
struct CompactionRefused {
    QString text;
};

fs::path nativePath(const QString& path) { return fs::path(QFile::encodeName(path).toStdString()); }

fs::path withSuffix(const fs::path& file, const char* suffix)
{
    fs::path result = file;
    result += suffix;
    return result;
}

// The size in bytes as the file system reports it; 0 when it cannot be read.
qint64 fileSizeOrZero(const fs::path& file)
{
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    return error ? 0 : static_cast<qint64>(size);
}

// Opens the database and takes it for this connection alone, so nobody can
// read or write it until the connection closes:
// - leaving WAL mode checkpoints the WAL into the file and removes the WAL and
//   its index; the engine refuses ("database is locked") while any other
//   connection has the file open, so this never waits on a busy writer;
// - the exclusive transaction then takes the file lock, which exclusive locking
//   mode keeps after the commit. Switching the journal mode first, in normal
//   locking mode, lets the switch's own journal be deleted at its commit.
std::unique_ptr<DbConnection> holdDatabaseAlone(DbEngine& engine, const QString& path)
{
    std::unique_ptr<DbConnection> hold = engine.open(path, DbEngine::OpenMode::ExistingOnly);
    hold->execute(QStringLiteral("PRAGMA busy_timeout=%1").arg(kHoldBusyTimeoutMs));
    QString journalMode;
    {
        const std::unique_ptr<DbCursor> result = hold->query(QStringLiteral("PRAGMA journal_mode=DELETE"));
        if (result->next())
            journalMode = result->text(QStringLiteral("journal_mode")).value_or(QString());
    }
    if (journalMode.compare(QLatin1String("delete"), Qt::CaseInsensitive) != 0)
        throw DbError(QStringLiteral("database is locked: journal mode stays %1").arg(journalMode), DbError::kBusy);
    hold->execute(QStringLiteral("PRAGMA locking_mode=EXCLUSIVE"));
    hold->execute(QStringLiteral("BEGIN EXCLUSIVE"));
    hold->execute(QStringLiteral("COMMIT"));
    return hold;
}

// Removes a file and the engine's side files of that name. A file that cannot
// be removed is an error; one that is not there is fine.
void removeWithSideFiles(const fs::path& file)
{
    fs::remove(file);
    for (const char* suffix : kSideFileSuffixes)
        fs::remove(withSuffix(file, suffix));
}

// Discards what a failed run left of the copy, quietly: the failure itself has
// already been reported.
void discardCopy(const fs::path& copy)
{
    std::error_code ignored;
    fs::remove(copy, ignored);
}

// The copy takes the database's access and group from the start: the engine
// would make it readable by everyone, and it becomes the database.
void buildCompactedCopy(DbConnection& hold, const QString& path, const QString& copyPath)
{
    if (const Result<> made = makeRecordFileLike(copyPath, path); !made)
        throw CompactionRefused{QStringLiteral("%1 cannot be made: %2").arg(copyPath, made.error())};
    hold.query(QStringLiteral("VACUUM INTO ?"), {copyPath})->next();
}

// A journal or WAL lying next to the old file would be taken for the new
// file's own after the rename and applied to it; refuse rather than risk that.
void ensureNoSideFiles(const fs::path& database)
{
    for (const char* suffix : kSideFileSuffixes) {
        const fs::path side = withSuffix(database, suffix);
        if (fs::exists(side))
            throw CompactionRefused{
                QStringLiteral("the database is still in use: %1 exists").arg(QFile::decodeName(side.c_str()))};
    }
}

// Writes a file's (or a directory's) data through to the disk. The engine
// does not sync the file VACUUM INTO writes; without this a power cut soon
// after the rename could leave an incomplete file under the database's name.
void syncToDisk(const fs::path& path)
{
#ifdef Q_OS_UNIX
    const int descriptor = ::open(path.c_str(), O_RDONLY);
    const int openError = errno;
    if (descriptor < 0)
        throw fs::filesystem_error("cannot open for syncing", path, std::error_code(openError, std::generic_category()));
    const int result = ::fsync(descriptor);
    const int syncError = errno;
    ::close(descriptor);
    if (result != 0)
        throw fs::filesystem_error("cannot sync", path, std::error_code(syncError, std::generic_category()));
#else
    Q_UNUSED(path);
#endif
}

// The rename is done; syncing its directory only hastens it to the disk.
void syncDirectoryQuietly(const fs::path& directory)
{
    try {
        syncToDisk(directory);
    } catch (const fs::filesystem_error&) {
    }
}

// Builds the copy and puts it in place, unless it turned out larger.
Compacted compactHeld(DbEngine& engine, const QString& path, const QString& copyPath, bool& copyStarted)
{
    const fs::path database = nativePath(path);
    const fs::path copy = nativePath(copyPath);
    const std::unique_ptr<DbConnection> hold = holdDatabaseAlone(engine, path);
    const qint64 before = fileSizeOrZero(database);
    removeWithSideFiles(copy);
    copyStarted = true;
    buildCompactedCopy(*hold, path, copyPath);
    const qint64 after = fileSizeOrZero(copy);
    if (after > before) {
        fs::remove(copy);
        return Compacted::Unchanged;
    }
    ensureNoSideFiles(database);
    syncToDisk(copy);
    // One rename over the old name: the old file stays in place until the new
    // one takes its name, never a moment without a database.
    fs::rename(copy, database);
    syncDirectoryQuietly(database.parent_path());
    // The copy keeps the rowids of tables whose rowid is their key; the others may be renumbered.
    forgetRenumberedDays(QFileInfo(path).absolutePath());
    return Compacted::Replaced;
}

} // namespace

Result<Compacted> compactDatabaseFile(DbEngine& engine, const QString& path, const QString& programDir)
{
    const QString copyPath = QDir(programDir).filePath(QLatin1String(kCompactionCopyFileName));
    bool copyStarted = false;
    Failure failure;
    try {
        return compactHeld(engine, path, copyPath, copyStarted);
    } catch (const DbError& error) {
        failure.reason = error.text();
    } catch (const fs::filesystem_error& error) {
        failure.reason = QString::fromLocal8Bit(error.what());
    } catch (const CompactionRefused& refusal) {
        failure.reason = refusal.text;
    }
    if (copyStarted)
        discardCopy(nativePath(copyPath));
    return failure;
}
