#pragma once

#include "platform/Result.h"

#include <QString>

// Files that hold records (the database, its -wal and -shm files, the
// recovery file) are made without any access for others: the owner reads and
// writes them, the data directory's group may read them (0640), and where the
// directory is group-writable, that is shared with its group (the headless
// service's), the group may write them too (0660). The umask may take more
// away, never add; a file that cannot take its directory's group is for its
// owner alone. The database engine gives the -wal and -shm files the access
// of the database file.

// Makes an empty regular file at path, with the access above, unless
// something is there already (then nothing changes). Fails with the reason
// when it can make nothing and nothing is there.
Result<> makeRecordFile(const QString& path);

// The same, with the access (less anything for others) and the group of the
// file at model: the copy that is to replace it.
Result<> makeRecordFileLike(const QString& path, const QString& model);

#ifdef Q_OS_UNIX
// Gives a file this program has just made at path, open as fd, the access
// above. A change the system refuses leaves the file as it was made, which
// never gives others any access.
void settleRecordFileAccess(int fd, const QString& path);
#endif
