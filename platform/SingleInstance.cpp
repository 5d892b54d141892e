#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QtDebug>

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

} // namespace

LockFileSingleInstance::LockFileSingleInstance(QString lockPath) : lockPath_(std::move(lockPath)) {}

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
    // The lock file cannot be created at all (no such directory, no right to
    // write): the check cannot be made, and refusing to start for that reason
    // would lock the user out of the program for good.
    qWarning("Cannot create the lock file %s; starting without the single-instance check",
             qPrintable(lockPath_));
    return true;
}

QString LockFileSingleInstance::defaultLockPath(const QString& programDir)
{
    return runtimeDirectory() + QStringLiteral("/kiv-syslog-") + shortHash(canonicalDirectory(programDir))
        + QStringLiteral(".lock");
}
