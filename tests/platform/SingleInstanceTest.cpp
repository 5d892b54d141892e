#include "platform/SingleInstance.h"

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

TEST(SingleInstanceTest, LockFileWithAnyLeftoverContentDoesNotBlock)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kiv-syslog.lock"));
    for (const QByteArray& leftover : {QByteArray(), QByteArray("garbage\xff\x00 not a pid\n", 20)}) {
        QFile stale(path);
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(stale.write(leftover), leftover.size());
        stale.close();

        LockFileSingleInstance instance(path);
        EXPECT_TRUE(instance.tryAcquire()) << leftover.toHex().constData();
        LockFileSingleInstance second(path);
        EXPECT_FALSE(second.tryAcquire());
    }
}

#ifdef Q_OS_UNIX
TEST(SingleInstanceTest, SymbolicLinkAtTheLockPathIsNeverWrittenThrough)
{
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("precious.txt"));
    const QByteArray content("precious content\n");
    QFile precious(target);
    ASSERT_TRUE(precious.open(QIODevice::WriteOnly));
    precious.write(content);
    precious.close();
    const QString path = dir.filePath(QStringLiteral("kiv-syslog.lock"));
    ASSERT_TRUE(QFile::link(target, path));

    // The check is skipped (with a warning) rather than locking the user out.
    LockFileSingleInstance instance(path);
    EXPECT_TRUE(instance.tryAcquire());
    ASSERT_TRUE(precious.open(QIODevice::ReadOnly));
    EXPECT_EQ(precious.readAll(), content);
    precious.close();

    // A dangling link does not get its target created either.
    const QString missing = elsewhere.filePath(QStringLiteral("created-through-link"));
    const QString danglingPath = dir.filePath(QStringLiteral("dangling.lock"));
    ASSERT_TRUE(QFile::link(missing, danglingPath));
    LockFileSingleInstance dangling(danglingPath);
    EXPECT_TRUE(dangling.tryAcquire());
    EXPECT_FALSE(QFileInfo::exists(missing));
}
#endif
