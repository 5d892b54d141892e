#include "store/GroupAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A file this user made takes its directory's group and, when the directory
// is group-writable, group read and write access.
void shareWithDirectoryGroup(const QString& path)
{
#ifdef Q_OS_UNIX
    const QByteArray file = QFile::encodeName(path);
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    struct stat fileInfo {};
    struct stat dirInfo {};
    if (::lstat(file.constData(), &fileInfo) != 0 || !S_ISREG(fileInfo.st_mode) || fileInfo.st_uid != ::geteuid()
        || ::stat(dir.constData(), &dirInfo) != 0)
        return;
    if (fileInfo.st_gid != dirInfo.st_gid && ::chown(file.constData(), uid_t(-1), dirInfo.st_gid) != 0)
        return;
    if ((dirInfo.st_mode & S_IWGRP) != 0)
        ::chmod(file.constData(), (fileInfo.st_mode | S_IRGRP | S_IWGRP) & 07777);
#else
    Q_UNUSED(path);
#endif
}

} // namespace

void shareDatabaseWithGroup(const QString& dataDir)
{
    const QString database = QDir(dataDir).filePath(QStringLiteral("syslog.mdb"));
    for (const char* suffix : {"", "-wal", "-shm"})
        shareWithDirectoryGroup(database + QLatin1String(suffix));
}
