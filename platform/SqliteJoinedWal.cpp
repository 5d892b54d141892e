#include "platform/SqliteJoinedWal.h"

#include <sqlite3.h>

#include <cstring>


namespace {

constexpr const char* kName = "joined-wal";
sqlite3_vfs* lower = nullptr;
sqlite3_vfs joinedVfs;
sqlite3_io_methods joinedMethods;

// A file of the layer: our methods first, the platform's file after it.
struct JoinedFile {
    sqlite3_file base;
    sqlite3_file* real;
    bool isLog;
    // The main database file's log, while both are open (the shared-memory
    // index is reached through the database file).
    JoinedFile* log;
    JoinedFile* database;
    // The log's writes not yet made: bytes [keptStart, keptStart + keptSize).
    char* kept;
    int keptSize;
    sqlite3_int64 keptStart;
    // The last write was the header of a commit's frame: its page ends the commit.
    bool commitPageNext;
    // A write of kept bytes that failed where it could not be told; told by
    // the next call that can.
    int failure;
};

// Room for a commit of this many bytes; a larger one is written in parts.
// The platform layer writes at most 128 KB less one byte a call.
constexpr int kKeptCapacity = 64 * 1024;
// The log's layout: a 32-byte header, then frames of a 24-byte header (bytes
// 4 to 7: the database's size in pages after a commit, 0 in other frames)
// and a page.
constexpr sqlite3_int64 kLogHeaderBytes = 32;
constexpr int kFrameHeaderBytes = 24;

JoinedFile* joined(sqlite3_file* file) { return reinterpret_cast<JoinedFile*>(file); }

int writeKept(JoinedFile* file)
{
    if (file->keptSize == 0)
        return SQLITE_OK;
    const int result = file->real->pMethods->xWrite(file->real, file->kept, file->keptSize, file->keptStart);
    file->keptSize = 0;
    if (result != SQLITE_OK && file->failure == SQLITE_OK)
        file->failure = result;
    return result;
}

// Writes what is kept and tells of a failure not told yet. Where a failure
// cannot be told (an unlock, the barrier), writeKept() alone leaves it to the
// next call that can.
int settle(JoinedFile* file)
{
    if (!file->isLog)
        return SQLITE_OK;
    writeKept(file);
    const int failure = file->failure;
    file->failure = SQLITE_OK;
    return failure;
}

int settleLogOf(sqlite3_file* database)
{
    JoinedFile* log = joined(database)->log;
    return log ? settle(log) : SQLITE_OK;
}

bool isCommitFrameHeader(const void* data, int amount, sqlite3_int64 offset)
{
    if (amount != kFrameHeaderBytes || offset < kLogHeaderBytes)
        return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    return (bytes[4] | bytes[5] | bytes[6] | bytes[7]) != 0;
}

int xWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset)
{
    JoinedFile* f = joined(file);
    if (!f->isLog)
        return f->real->pMethods->xWrite(f->real, data, amount, offset);
    const bool endsCommit = f->commitPageNext;
    f->commitPageNext = isCommitFrameHeader(data, amount, offset);
    const bool follows = f->keptSize > 0 && offset == f->keptStart + f->keptSize;
    if (!follows || f->keptSize + amount > kKeptCapacity) {
        if (const int result = settle(f); result != SQLITE_OK)
            return result;
    }
    if (amount > kKeptCapacity)
        return f->real->pMethods->xWrite(f->real, data, amount, offset);
    if (!f->kept) { // a reader's log never needs the room
        f->kept = static_cast<char*>(sqlite3_malloc(kKeptCapacity));
        if (!f->kept)
            return f->real->pMethods->xWrite(f->real, data, amount, offset);
    }
    if (f->keptSize == 0)
        f->keptStart = offset;
    std::memcpy(f->kept + f->keptSize, data, std::size_t(amount));
    f->keptSize += amount;
    return endsCommit ? settle(f) : SQLITE_OK;
}

int xClose(sqlite3_file* file)
{
    JoinedFile* f = joined(file);
    const int settled = settle(f);
    if (f->isLog && f->database)
        f->database->log = nullptr;
    if (!f->isLog && f->log)
        f->log->database = nullptr;
    sqlite3_free(f->kept);
    f->kept = nullptr;
    const int closed = f->real->pMethods ? f->real->pMethods->xClose(f->real) : SQLITE_OK;
    return settled != SQLITE_OK ? settled : closed;
}

// Every other call: what is kept is written first.
template <typename Method, typename... Args>
int afterSettling(sqlite3_file* file, Method sqlite3_io_methods::*method, Args... args)
{
    JoinedFile* f = joined(file);
    if (const int result = settle(f); result != SQLITE_OK)
        return result;
    return (f->real->pMethods->*method)(f->real, args...);
}
int xRead(sqlite3_file* file, void* data, int amount, sqlite3_int64 offset)
{
    return afterSettling(file, &sqlite3_io_methods::xRead, data, amount, offset);
}
int xTruncate(sqlite3_file* file, sqlite3_int64 size)
{
    return afterSettling(file, &sqlite3_io_methods::xTruncate, size);
}
int xSync(sqlite3_file* file, int flags) { return afterSettling(file, &sqlite3_io_methods::xSync, flags); }
int xFileSize(sqlite3_file* file, sqlite3_int64* size)
{
    return afterSettling(file, &sqlite3_io_methods::xFileSize, size);
}
int xLock(sqlite3_file* file, int level) { return afterSettling(file, &sqlite3_io_methods::xLock, level); }
int xUnlock(sqlite3_file* file, int level)
{
    if (joined(file)->isLog)
        writeKept(joined(file));
    return joined(file)->real->pMethods->xUnlock(joined(file)->real, level);
}
int xCheckReservedLock(sqlite3_file* file, int* held)
{
    return joined(file)->real->pMethods->xCheckReservedLock(joined(file)->real, held);
}
int xFileControl(sqlite3_file* file, int op, void* arg)
{
    return afterSettling(file, &sqlite3_io_methods::xFileControl, op, arg);
}
int xSectorSize(sqlite3_file* file) { return joined(file)->real->pMethods->xSectorSize(joined(file)->real); }
int xDeviceCharacteristics(sqlite3_file* file)
{
    return joined(file)->real->pMethods->xDeviceCharacteristics(joined(file)->real);
}

// The shared-memory index belongs to the database file. Its locks and its
// barrier (which comes before a commit is published) write the log first.
int xShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** memory)
{
    if (const int result = settleLogOf(file); result != SQLITE_OK)
        return result;
    return joined(file)->real->pMethods->xShmMap(joined(file)->real, region, size, extend, memory);
}
int xShmLock(sqlite3_file* file, int offset, int n, int flags)
{
    if (flags & SQLITE_SHM_LOCK) {
        if (const int result = settleLogOf(file); result != SQLITE_OK)
            return result;
    } else if (JoinedFile* log = joined(file)->log) {
        writeKept(log);
    }
    return joined(file)->real->pMethods->xShmLock(joined(file)->real, offset, n, flags);
}
void xShmBarrier(sqlite3_file* file)
{
    // A failure here is kept and told by the log's next call.
    if (JoinedFile* log = joined(file)->log)
        writeKept(log);
    joined(file)->real->pMethods->xShmBarrier(joined(file)->real);
}
int xShmUnmap(sqlite3_file* file, int deleteFlag)
{
    if (JoinedFile* log = joined(file)->log)
        writeKept(log);
    return joined(file)->real->pMethods->xShmUnmap(joined(file)->real, deleteFlag);
}
// A platform file without memory mapping reads every page.
int xFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** pointer)
{
    if (joined(file)->real->pMethods->iVersion < 3) {
        *pointer = nullptr;
        return SQLITE_OK;
    }
    return joined(file)->real->pMethods->xFetch(joined(file)->real, offset, amount, pointer);
}
int xUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* pointer)
{
    if (joined(file)->real->pMethods->iVersion < 3)
        return SQLITE_OK;
    return joined(file)->real->pMethods->xUnfetch(joined(file)->real, offset, pointer);
}

int xOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags)
{
    JoinedFile* f = joined(file);
    std::memset(f, 0, sizeof(JoinedFile));
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    f->isLog = (flags & SQLITE_OPEN_WAL) != 0;
    const int result = lower->xOpen(lower, name, f->real, flags, outFlags);
    if (result != SQLITE_OK || !f->real->pMethods)
        return result != SQLITE_OK ? result : SQLITE_CANTOPEN;
    if (f->isLog && name) {
        // The database file this log belongs to was opened through this layer too.
        f->database = joined(sqlite3_database_file_object(name));
        f->database->log = f;
    }
    file->pMethods = &joinedMethods;
    return SQLITE_OK;
}

int xDelete(sqlite3_vfs*, const char* name, int syncDir) { return lower->xDelete(lower, name, syncDir); }
int xAccess(sqlite3_vfs*, const char* name, int flags, int* result)
{
    return lower->xAccess(lower, name, flags, result);
}
int xFullPathname(sqlite3_vfs*, const char* name, int size, char* out)
{
    return lower->xFullPathname(lower, name, size, out);
}
void* xDlOpen(sqlite3_vfs*, const char* name) { return lower->xDlOpen(lower, name); }
void xDlError(sqlite3_vfs*, int size, char* out) { lower->xDlError(lower, size, out); }
void (*xDlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) { return lower->xDlSym(lower, handle, symbol); }
void xDlClose(sqlite3_vfs*, void* handle) { lower->xDlClose(lower, handle); }
int xRandomness(sqlite3_vfs*, int size, char* out) { return lower->xRandomness(lower, size, out); }
int xSleep(sqlite3_vfs*, int microseconds) { return lower->xSleep(lower, microseconds); }
int xCurrentTime(sqlite3_vfs*, double* now) { return lower->xCurrentTime(lower, now); }
int xGetLastError(sqlite3_vfs*, int size, char* out) { return lower->xGetLastError(lower, size, out); }
int xCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* now) { return lower->xCurrentTimeInt64(lower, now); }

const char* registerJoinedWal()
{
    // Only over a platform layer that has every call this one passes on.
    lower = sqlite3_vfs_find(nullptr);
    if (!lower || lower->iVersion < 2)
        return nullptr;
    if (sqlite3_vfs_find(kName))
        return kName;
    joinedMethods = sqlite3_io_methods{3,       xClose,     xRead,      xWrite,      xTruncate,     xSync,
                                       xFileSize, xLock,    xUnlock,    xCheckReservedLock, xFileControl,
                                       xSectorSize, xDeviceCharacteristics, xShmMap, xShmLock, xShmBarrier,
                                       xShmUnmap, xFetch,  xUnfetch};
    joinedVfs = sqlite3_vfs{};
    joinedVfs.iVersion = 2;
    joinedVfs.szOsFile = int(sizeof(JoinedFile)) + lower->szOsFile;
    joinedVfs.mxPathname = lower->mxPathname;
    joinedVfs.zName = kName;
    joinedVfs.xOpen = xOpen;
    joinedVfs.xDelete = xDelete;
    joinedVfs.xAccess = xAccess;
    joinedVfs.xFullPathname = xFullPathname;
    joinedVfs.xDlOpen = xDlOpen;
    joinedVfs.xDlError = xDlError;
    joinedVfs.xDlSym = xDlSym;
    joinedVfs.xDlClose = xDlClose;
    joinedVfs.xRandomness = xRandomness;
    joinedVfs.xSleep = xSleep;
    joinedVfs.xCurrentTime = xCurrentTime;
    joinedVfs.xGetLastError = xGetLastError;
    joinedVfs.xCurrentTimeInt64 = xCurrentTimeInt64;
    if (sqlite3_vfs_register(&joinedVfs, 0) != SQLITE_OK)
        return nullptr;
    return joinedVfs.zName;
}

} // namespace

const char* joinedWalVfsName()
{
    static const char* const name = registerJoinedWal();
    return name;
}
