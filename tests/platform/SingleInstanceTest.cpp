#include "SingleInstance.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(SingleInstanceTest, SecondCopyIsRefusedWhileTheFirstHoldsTheLock)
{
    QTemporaryDir programDir;
    const QString path = LockFileSingleInstance::defaultLockPath(programDir.path());
    auto first = std::make_unique<LockFileSingleInstance>(path);
    ASSERT_TRUE(first->tryAcquire());

    LockFileSingleInstance second(path);
    EXPECT_FALSE(second.tryAcquire());
    first.reset();
    EXPECT_TRUE(second.tryAcquire());
}

TEST(SingleInstanceTest, LockHeldForHoursStillRefusesASecondCopy)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kiv-syslog.lock"));
    LockFileSingleInstance first(path);
    ASSERT_TRUE(first.tryAcquire());
    QFile lockFile(path);
    ASSERT_TRUE(lockFile.open(QIODevice::ReadWrite));
    ASSERT_TRUE(lockFile.setFileTime(QDateTime::currentDateTime().addSecs(-3 * 3600), QFileDevice::FileModificationTime));
    lockFile.close();

    LockFileSingleInstance second(path);
    EXPECT_FALSE(second.tryAcquire());
}

TEST(SingleInstanceTest, LockPathIsPerProgramDirectory)
{
    QTemporaryDir one;
    QTemporaryDir other;
    const QString path = LockFileSingleInstance::defaultLockPath(one.path());
    EXPECT_TRUE(QFileInfo(path).fileName().startsWith(QStringLiteral("kiv-syslog-")));
    EXPECT_TRUE(path.endsWith(QStringLiteral(".lock")));
    EXPECT_EQ(LockFileSingleInstance::defaultLockPath(one.path() + QStringLiteral("/.")), path);
    EXPECT_NE(LockFileSingleInstance::defaultLockPath(other.path()), path);
}

TEST(SingleInstanceTest, LockLeftByACrashedCopyDoesNotBlock)
{
    QProcess finished;
    finished.start(QStringLiteral("true"), {});
    ASSERT_TRUE(finished.waitForStarted());
    const qint64 deadPid = finished.processId();
    ASSERT_TRUE(finished.waitForFinished());

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kiv-syslog.lock"));
    QFile stale(path);
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write(QByteArray::number(deadPid) + "\nkiv_syslog\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    stale.close();

    LockFileSingleInstance instance(path);
    EXPECT_TRUE(instance.tryAcquire());
}
