#pragma once

#include <QString>
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

class LockFileSingleInstance final : public SingleInstance {
public:
    // lockPath: the lock file; see defaultLockPath().
    explicit LockFileSingleInstance(QString lockPath);
    ~LockFileSingleInstance() override;
    bool tryAcquire() override;

    // A lock file in the user's runtime directory named after the program directory.
    static QString defaultLockPath(const QString& programDir);

private:
    QString lockPath_;
    std::unique_ptr<QLockFile> lock_;
};
