#pragma once

#include "platform/Database.h"

// The database engine on SQLite. Every connection runs the file in WAL mode
// with synchronous=NORMAL, so readers and the writer never block each other and
// a commit costs no sync; a crash of the program loses nothing committed.
// A read-only connection changes nothing in the file and reads it beside a
// running writer.
// A double-quoted name always means a name (never a text constant), and the
// cursors and statements of a connection keep it alive until they are gone.
class SqliteEngine final : public DbEngine {
public:
    // busyTimeoutMs: how long a connection waits for a lock held by another
    // connection before it fails with the engine's "database is locked".
    explicit SqliteEngine(int busyTimeoutMs = 2000) : busyTimeoutMs_(busyTimeoutMs) {}
    std::unique_ptr<DbConnection> open(const QString& path, OpenMode mode = OpenMode::ExistingOnly) override;

private:
    int busyTimeoutMs_;
};
