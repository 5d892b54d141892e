#pragma once

#include "platform/Result.h"

#include <QString>

class DbEngine;

// Name of the compacted copy while it is being built, in the program directory.
inline constexpr char kCompactionCopyFileName[] = "Temporal.mdb";

// Rebuilds the database file at `path` into a fresh file without the space of
// dropped tables, and puts that copy in place of the file when it is not larger.
//
// The copy is built as programDir/Temporal.mdb (a leftover one is deleted
// first) while this function alone holds the database: it fails with
// "database is locked" when any other connection or process still has the
// file open, instead of waiting. The old file is replaced by one atomic
// rename, so at every moment either the old or the new database lies under its
// name, and no journal or WAL of the old file is left to be applied to the new one.
//
// After the replacement the search index forgets the days whose rowids the
// copy may have renumbered (tables whose rowid is not their INTEGER PRIMARY
// KEY); the other days keep their index.
//
// A copy larger than the file is discarded, leaving the file Unchanged. Every
// failure carries the engine's or the file system's own text and leaves the
// file as it was.
enum class Compacted { Replaced, Unchanged };
Result<Compacted> compactDatabaseFile(DbEngine& engine, const QString& path, const QString& programDir);
