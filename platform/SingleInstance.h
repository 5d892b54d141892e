#pragma once

#include <QString>
#include <QtGlobal>
#include <memory>

class QLockFile;

// Tells whether another copy of the program is running for the same program
// directory. The lock is held until the object is destroyed (or the process ends).
class SingleInstance {
public:
    virtual ~SingleInstance() = default;
    // True when this process now holds the lock; false when another copy holds it.
    virtual bool tryAcquire() = 0;
};

// On POSIX systems the lock is an flock() on an open lock file: the kernel
// drops it when the holder exits in any way, so a lock file left behind by a
// dead copy, whatever it contains, never blocks a start. The lock file is
// opened without following a symbolic link and must be a regular file.
class LockFileSingleInstance final : public SingleInstance {
public:
    // lockPath: the lock file; see defaultLockPath().
    explicit LockFileSingleInstance(QString lockPath);
    ~LockFileSingleInstance() override;
    Q_DISABLE_COPY(LockFileSingleInstance)

    // True when the lock is now held (or the lock file cannot be used at all,
    // in which case a warning naming the file and the reason is printed and
    // the check is skipped); false when another copy holds the lock.
    bool tryAcquire() override;

    // A lock file in the user's runtime directory named after the program directory.
    static QString defaultLockPath(const QString& programDir);

private:
    QString lockPath_;
#ifdef Q_OS_UNIX
    int fd_ = -1;
#else
    std::unique_ptr<QLockFile> lock_;
#endif
};
