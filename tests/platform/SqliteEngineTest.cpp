// What a long read on a connection of its own relies on: it can be stopped
// from its progress check, and it can see the writer's log grow meanwhile.
#include "platform/SqliteEngine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

TEST(SqliteEngine, AReaderSeesTheWritersLogGrowAndStopsAStatementWhenItsInterruptCheckSaysSo)
{
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath(QStringLiteral("syslog.mdb"));
    SqliteEngine engine;
    const auto writer = engine.open(path, DbEngine::OpenMode::CreateIfMissing);
    writer->execute(QStringLiteral("CREATE TABLE t (x BLOB)"));
    const auto reader = engine.open(path, DbEngine::OpenMode::ReadOnly);
    const qint64 before = reader->logBytes();
    // 100 rows of 8 KB: at least 800 KB more in the log.
    writer->execute(QStringLiteral("INSERT INTO t SELECT zeroblob(8192) FROM "
                                   "(WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100) "
                                   "SELECT i FROM n)"));
    EXPECT_GE(reader->logBytes() - before, 100 * 8192);

    int checks = 0;
    reader->setInterruptCheck([&] { return ++checks >= 3; });
    try {
        reader->query(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) "
                                     "SELECT count(*) FROM n"))
            ->next();
        ADD_FAILURE() << "an endless statement ended";
    } catch (const DbError& error) {
        EXPECT_EQ(error.code(), DbError::kInterrupted);
    }
    EXPECT_EQ(checks, 3);
    // Without the check, statements run to their end again.
    reader->setInterruptCheck({});
    const auto rows = reader->query(QStringLiteral("SELECT count(*) AS n FROM t"));
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->text(QStringLiteral("n")), QStringLiteral("100"));
}

namespace {

// Write system calls this process has made so far; -1 where the system does not tell.
qint64 writeCalls()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("syscw:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

int rowsSeen(DbConnection& reader)
{
    const auto rows = reader.query(QStringLiteral("SELECT count(*) AS n FROM t"));
    return rows->next() ? rows->text(QStringLiteral("n"))->toInt() : -1;
}

void commitRows(DbConnection& writer, int count, int bytes)
{
    writer.begin();
    const auto insert = writer.prepare(QStringLiteral("INSERT INTO t VALUES (?)"));
    for (int i = 0; i < count; ++i)
        insert->runTexts({QString(bytes, QLatin1Char('a' + i % 26))});
    writer.commit();
}

} // namespace

// A commit goes into the log in one write, and another connection sees it as
// soon as the commit returns.
TEST(SqliteEngine, EachCommitReachesTheLogInOneWriteAndIsSeenAtOnce)
{
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath(QStringLiteral("syslog.mdb"));
    SqliteEngine engine;
    const auto writer = engine.open(path, DbEngine::OpenMode::CreateIfMissing);
    writer->execute(QStringLiteral("CREATE TABLE t (x TEXT)"));
    const auto reader = engine.open(path, DbEngine::OpenMode::ReadOnly);
    const qint64 before = writeCalls();
    if (before < 0)
        GTEST_SKIP() << "this system does not count write calls";
    constexpr int commits = 100;
    for (int i = 1; i <= commits; ++i) {
        commitRows(*writer, 10, 200);
        ASSERT_EQ(rowsSeen(*reader), 10 * i);
    }
    // Each commit writes at least one page: two calls a page if not joined.
    EXPECT_LT(writeCalls() - before, commits * 3 / 2);
}

// A commit the log cannot take fails, as it would without joining its
// writes, and leaves the rows committed before it as they were.
TEST(SqliteEngine, ACommitTheLogCannotTakeFailsAndKeepsWhatWasCommitted)
{
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath(QStringLiteral("syslog.mdb"));
    SqliteEngine engine;
    const auto writer = engine.open(path, DbEngine::OpenMode::CreateIfMissing);
    writer->execute(QStringLiteral("CREATE TABLE t (x TEXT)"));
    const auto reader = engine.open(path, DbEngine::OpenMode::ReadOnly);
    commitRows(*writer, 10, 200);

    // Files may not grow past the log's size now: the next commit must grow it.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = rlim_t(QFileInfo(path + QStringLiteral("-wal")).size());
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    EXPECT_THROW(commitRows(*writer, 10, 3000), DbError);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldSignal);
    try {
        writer->rollback();
    } catch (const DbError&) {
        // The failed commit may have ended the transaction itself.
    }

    EXPECT_EQ(rowsSeen(*reader), 10);
    commitRows(*writer, 5, 200);
    EXPECT_EQ(rowsSeen(*reader), 15);
    const auto check = engine.open(path)->query(QStringLiteral("PRAGMA integrity_check"));
    ASSERT_TRUE(check->next());
    EXPECT_EQ(check->text(QStringLiteral("integrity_check")), QStringLiteral("ok"));
}
