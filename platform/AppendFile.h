#pragma once

#include "platform/Result.h"

#include <QByteArray>
#include <QString>

// Appends bytes to the file at path, creating it when missing with the
// access of a file holding records (platform/FileAccess.h: 0640, or 0660 in a
// group-writable directory).
// Only a regular file is ever written: a symbolic link at path is not
// followed, and a directory, FIFO or device there is refused without
// blocking. Every byte is written or the call fails with the reason (for
// example "not a regular file: a symbolic link" or "No space left on
// device"); the path itself is not part of the reason. A write that fails
// part way leaves the file as long as it was.
Result<> appendToRegularFile(const QString& path, const QByteArray& bytes);
