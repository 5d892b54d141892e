#pragma once

#include <QString>

// The service and the windows share the database through the data
// directory's group: the database file (and its -wal and -shm files), where
// this user made it, takes the directory's group and, when the directory is
// group-writable, group read and write access. SQLite makes a new file
// without group write access whatever the umask; its -wal and -shm files
// then copy the database file's access.
void shareDatabaseWithGroup(const QString& dataDir);
