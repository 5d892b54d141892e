#include "platform/FileAccess.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef Q_OS_UNIX

namespace {

constexpr mode_t kOwnerAndGroup = 0770;
constexpr mode_t kOwnerAlone = 0700;
// What open() is given: the umask may take more away.
constexpr mode_t kCreateMode = 0640;

// Gives the file open as fd the group gid and, within what it has, the mode;
// with another group than gid, only its owner keeps access.
void settle(int fd, const struct stat& file, gid_t gid, mode_t mode)
{
    if (file.st_gid != gid && ::fchown(fd, uid_t(-1), gid) != 0)
        mode &= kOwnerAlone;
    if ((file.st_mode & 07777) != mode)
        ::fchmod(fd, mode);
}

// Makes the file (never through a link) and settles it with how(fd, info).
template <typename How>
Result<> make(const QString& path, How how)
{
    const QByteArray nativePath = QFile::encodeName(path);
    int fd;
    do
        fd = ::open(nativePath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                    kCreateMode);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno == EEXIST ? Result<>() : Result<>(Failure{systemReason(errno)});
    struct stat info {};
    if (::fstat(fd, &info) == 0)
        how(fd, info);
    ::close(fd);
    return {};
}

} // namespace

void settleRecordFileAccess(int fd, const QString& path)
{
    struct stat file {};
    struct stat dir {};
    if (::fstat(fd, &file) != 0 || ::stat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &dir) != 0)
        return;
    mode_t mode = file.st_mode & kOwnerAndGroup;
    // A group the umask left out stays out.
    if ((dir.st_mode & S_IWGRP) != 0 && (mode & S_IRGRP) != 0)
        mode |= S_IWGRP;
    settle(fd, file, dir.st_gid, mode);
}

Result<> makeRecordFile(const QString& path)
{
    return make(path, [&](int fd, const struct stat&) { settleRecordFileAccess(fd, path); });
}

Result<> makeRecordFileLike(const QString& path, const QString& model)
{
    struct stat modelInfo {};
    if (::stat(QFile::encodeName(model).constData(), &modelInfo) != 0)
        return Failure{systemReason(errno)};
    return make(path, [&](int fd, const struct stat& info) {
        settle(fd, info, modelInfo.st_gid, modelInfo.st_mode & kOwnerAndGroup);
    });
}

#else

Result<> makeRecordFile(const QString& path)
{
    QFile file(path);
    if (file.exists() || file.open(QIODevice::WriteOnly))
        return {};
    return Failure{file.errorString()};
}

Result<> makeRecordFileLike(const QString& path, const QString&) { return makeRecordFile(path); }

#endif
