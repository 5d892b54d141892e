#pragma once

#include "platform/Result.h"

#include <QByteArray>
#include <QString>

// Appends bytes to the file at path, creating it (mode 0644) when missing.
// Only a regular file is ever written: a symbolic link at path is not
// followed, and a directory, FIFO or device there is refused without
// blocking. Every byte is written or the call fails with the reason (for
// example "not a regular file: a symbolic link" or "No space left on
// device"); the path itself is not part of the reason.
Result<> appendToRegularFile(const QString& path, const QByteArray& bytes);
