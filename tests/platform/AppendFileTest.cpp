#include "platform/AppendFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <system_error>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

TEST(AppendFile, AppendsAccumulateInARegularFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("recovery.log"));
    const QByteArray big(300000, 'x');
    for (const QByteArray& bytes : {QByteArray("first line\n"), big, QByteArray("\0last\n", 6)}) {
        const Result<> appended = appendToRegularFile(path, bytes);
        ASSERT_TRUE(appended) << appended.error().toStdString();
    }
    EXPECT_EQ(contentOf(path), QByteArray("first line\n") + big + QByteArray("\0last\n", 6));
}

#ifdef Q_OS_UNIX
TEST(AppendFile, RefusesAnythingButARegularFileWithoutWritingOrBlocking)
{
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("target.txt"));
    QFile targetFile(target);
    ASSERT_TRUE(targetFile.open(QIODevice::WriteOnly));
    targetFile.write("untouched\n");
    targetFile.close();
    const QString link = dir.filePath(QStringLiteral("recovery.log"));
    ASSERT_TRUE(QFile::link(target, link));

    Result<> appended = appendToRegularFile(link, "planted\n");
    EXPECT_FALSE(appended);
    EXPECT_TRUE(appended.error().contains(QStringLiteral("symbolic link"))) << appended.error().toStdString();
    EXPECT_EQ(contentOf(target), QByteArray("untouched\n"));

    const QString danglingTarget = elsewhere.filePath(QStringLiteral("not-yet"));
    const QString dangling = dir.filePath(QStringLiteral("dangling.log"));
    ASSERT_TRUE(QFile::link(danglingTarget, dangling));
    EXPECT_FALSE(appendToRegularFile(dangling, "planted\n"));
    EXPECT_FALSE(QFile::exists(danglingTarget));

    const QString subdir = dir.filePath(QStringLiteral("a-directory"));
    ASSERT_TRUE(QDir().mkdir(subdir));
    appended = appendToRegularFile(subdir, "x");
    EXPECT_FALSE(appended);
    EXPECT_TRUE(appended.error().contains(QStringLiteral("not a regular file"))) << appended.error().toStdString();

    // A FIFO without a reader (opening it for writing would wait or fail), then
    // with one (it opens, but must still be refused and get no bytes).
    const QString fifo = dir.filePath(QStringLiteral("fifo.log"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    appended = appendToRegularFile(fifo, "x");
    EXPECT_FALSE(appended);
    EXPECT_TRUE(appended.error().contains(QStringLiteral("not a regular file"))) << appended.error().toStdString();
    const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    appended = appendToRegularFile(fifo, "x");
    EXPECT_FALSE(appended);
    EXPECT_TRUE(appended.error().contains(QStringLiteral("not a regular file"))) << appended.error().toStdString();
    char byte;
    EXPECT_LE(::read(reader, &byte, 1), 0);
    ::close(reader);
}

TEST(AppendFile, AWriteCutShortIsReportedAsAFailureAndLeavesNoPartOfIt)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("recovery.log"));
    // A file size limit makes the kernel take only part of the bytes, then refuse the rest.
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const Result<> appended = appendToRegularFile(path, QByteArray(4000, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);

    EXPECT_FALSE(appended);
    EXPECT_EQ(appended.error(), QString::fromStdString(std::generic_category().message(EFBIG)));
    EXPECT_EQ(contentOf(path).size(), 0);  // no torn line for the next append to follow
}
#endif
