#include "AppendFile.h"

#include <QFile>

bool appendToRegularFile(const QString& path, const QByteArray& bytes, QString* error)
{
    QFile file(path);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(bytes) == bytes.size()
                      && file.flush();
    if (!written && error)
        *error = file.errorString();
    return written;
}
