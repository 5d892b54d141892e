#pragma once

#include <QByteArray>
#include <QString>

// Appends bytes to a regular file, creating it when missing. A symbolic link
// or anything else that is not a regular file at the path is refused, never
// followed. False, with the reason in *error, when nothing or not everything
// could be written.
bool appendToRegularFile(const QString& path, const QByteArray& bytes, QString* error);
