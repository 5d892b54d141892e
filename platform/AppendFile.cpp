#include "platform/AppendFile.h"

#include "platform/FileAccess.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX

QString notRegularReason(mode_t mode)
{
    if (S_ISLNK(mode))
        return QStringLiteral("not a regular file: a symbolic link");
    if (S_ISDIR(mode))
        return QStringLiteral("not a regular file: a directory");
    if (S_ISFIFO(mode))
        return QStringLiteral("not a regular file: a FIFO");
    return QStringLiteral("not a regular file");
}

// Why open() failed: what is at the path when it is not a regular file (the
// system's text for ELOOP or ENXIO would only puzzle the reader), else the
// system's reason.
QString openFailureReason(const QByteArray& path, int errorNumber)
{
    struct stat info {};
    if (::lstat(path.constData(), &info) == 0 && !S_ISREG(info.st_mode))
        return notRegularReason(info.st_mode);
    return systemReason(errorNumber);
}

Result<> writeAll(int fd, const QByteArray& bytes)
{
    const char* next = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, next, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return Failure{systemReason(errno)};
        }
        next += written;
        left -= written;
    }
    return {};
}

// Opens the file for appending; a file it makes gets the access of a file
// holding records (settleRecordFileAccess). -1 with errno set on failure.
int openForAppending(const QByteArray& nativePath, const QString& path)
{
    // O_NONBLOCK only so that opening a FIFO cannot wait for a reader; it is
    // cleared again once the file is known to be a regular one.
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    for (;;) {
        int fd = ::open(nativePath.constData(), kFlags | O_CREAT | O_EXCL, 0640);
        if (fd >= 0) {
            settleRecordFileAccess(fd, path);
            return fd;
        }
        if (errno == EEXIST)
            fd = ::open(nativePath.constData(), kFlags);
        // Gone again between the two calls: make it after all.
        if (fd >= 0 || (errno != EINTR && errno != ENOENT))
            return fd;
    }
}

#endif

} // namespace

#ifdef Q_OS_UNIX

Result<> appendToRegularFile(const QString& path, const QByteArray& bytes)
{
    const QByteArray nativePath = QFile::encodeName(path);
    const int fd = openForAppending(nativePath, path);
    if (fd < 0)
        return Failure{openFailureReason(nativePath, errno)};

    struct stat info {};
    Result<> written;
    if (::fstat(fd, &info) != 0)
        written = Failure{systemReason(errno)};
    else if (!S_ISREG(info.st_mode))
        written = Failure{notRegularReason(info.st_mode)};
    else {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0)
            written = Failure{systemReason(errno)};
        else
            written = writeAll(fd, bytes);
        // Part of the bytes would be a torn line, and the caller writes them
        // all again later: the file goes back to its size before.
        if (!written && ::ftruncate(fd, info.st_size) != 0)
            written = Failure{written.error() + QStringLiteral("; the part written stays: ") + systemReason(errno)};
    }
    // A failed close can be the first report of a failed write (on a network
    // file system, for example); EINTR leaves the descriptor closed on Linux.
    if (::close(fd) != 0 && errno != EINTR && written)
        written = Failure{systemReason(errno)};
    return written;
}

#else

Result<> appendToRegularFile(const QString& path, const QByteArray& bytes)
{
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isFile()))
        return Failure{QStringLiteral("not a regular file")};
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return Failure{file.errorString()};
    if (file.write(bytes) != bytes.size() || !file.flush())
        return Failure{file.errorString()};
    file.close();
    return {};
}

#endif
