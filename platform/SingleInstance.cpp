#include "platform/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QtDebug>
#include <system_error>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString canonicalDirectory(const QString& programDir)
{
    const QFileInfo info(programDir);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

QString shortHash(const QString& text)
{
    const QByteArray digest = QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1);
    return QString::fromLatin1(digest.toHex().left(16));
}

QString runtimeDirectory()
{
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? QDir::tempPath() : runtime;
}

// The lock file cannot be used at all (no such directory, no right to write,
// a symbolic link or something else than a regular file in its place): the
// check cannot be made, and refusing to start for that reason would lock the
// user out of the program for good.
bool startWithoutCheck(const QString& lockPath, const std::string& reason)
{
    qWarning("Cannot use the lock file %s (%s); starting without the single-instance check",
             qPrintable(lockPath), reason.c_str());
    return true;
}

} // namespace

LockFileSingleInstance::LockFileSingleInstance(QString lockPath) : lockPath_(std::move(lockPath)) {}

#ifdef Q_OS_UNIX

LockFileSingleInstance::~LockFileSingleInstance()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool LockFileSingleInstance::tryAcquire()
{
    if (fd_ >= 0)
        return true;
    const QByteArray path = QFile::encodeName(lockPath_);
    // O_NOFOLLOW: a symbolic link planted at the lock path is refused (ELOOP),
    // never written through. O_NONBLOCK: a FIFO in its place cannot hold up the start.
    int fd;
    do
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return startWithoutCheck(lockPath_, std::generic_category().message(errno));

    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        return startWithoutCheck(lockPath_, std::generic_category().message(error));
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        return startWithoutCheck(lockPath_, "not a regular file");
    }

    int locked;
    do
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return false;
        return startWithoutCheck(lockPath_, std::generic_category().message(error));
    }

    // Our process id, for whoever looks at the file; the lock itself is the flock.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    const bool noted = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) == pid.size();
    Q_UNUSED(noted);
    fd_ = fd;
    return true;
}

#else

LockFileSingleInstance::~LockFileSingleInstance() = default;

bool LockFileSingleInstance::tryAcquire()
{
    if (lock_ && lock_->isLocked())
        return true;
    lock_ = std::make_unique<QLockFile>(lockPath_);
    // The lock is held for the whole run, so it must never be taken for stale
    // because of its age; a lock left by a crashed copy is still recognised as
    // stale by its process id.
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0))
        return true;
    if (lock_->error() == QLockFile::LockFailedError)
        return false;
    return startWithoutCheck(lockPath_, "the file cannot be created");
}

#endif

QString LockFileSingleInstance::defaultLockPath(const QString& programDir)
{
    return runtimeDirectory() + QStringLiteral("/kiv-syslog-") + shortHash(canonicalDirectory(programDir))
        + QStringLiteral(".lock");
}
