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

namespace {

// A writer and a reader on a new file with one table, t (x).
class SqliteEngineTest : public ::testing::Test {
protected:
    QTemporaryDir dir_;
    const QString path_ = QDir(dir_.path()).filePath(QStringLiteral("syslog.mdb"));
    SqliteEngine engine_;
    const std::unique_ptr<DbConnection> writer_ = openWithTable();
    const std::unique_ptr<DbConnection> reader_ = engine_.open(path_, DbEngine::OpenMode::ReadOnly);

    std::unique_ptr<DbConnection> openWithTable()
    {
        auto writer = engine_.open(path_, DbEngine::OpenMode::CreateIfMissing);
        writer_->execute(QStringLiteral("CREATE TABLE t (x)"));
        return writer;
    }
};

} // namespace

TEST_F(SqliteEngineTest, AReaderSeesTheWritersLogGrowAndStopsAStatementWhenItsInterruptCheckSaysSo)
{
    const qint64 before = reader_->logBytes();
    // 100 rows of 8 KB: at least 800 KB more in the log.
    writer_->execute(QStringLiteral("INSERT INTO t SELECT zeroblob(8192) FROM "
                                   "(WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100) "
                                   "SELECT i FROM n)"));
    EXPECT_GE(reader_->logBytes() - before, 100 * 8192);

    int checks = 0;
    reader_->setInterruptCheck([&] { return ++checks >= 3; });
    try {
        reader_->query(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) "
                                     "SELECT count(*) FROM n"))
            ->next();
        ADD_FAILURE() << "an endless statement ended";
    } catch (const DbError& error) {
        EXPECT_EQ(error.code(), DbError::kInterrupted);
    }
    EXPECT_EQ(checks, 3);
    // Without the check, statements run to their end again.
    reader_->setInterruptCheck({});
    const auto rows = reader_->query(QStringLiteral("SELECT count(*) AS n FROM t"));
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
TEST_F(SqliteEngineTest, EachCommitReachesTheLogInOneWriteAndIsSeenAtOnce)
{
    const qint64 before = writeCalls();
    if (before < 0)
        GTEST_SKIP() << "this system does not count write calls";
    constexpr int commits = 100;
    for (int i = 1; i <= commits; ++i) {
        commitRows(*writer_, 10, 200);
        ASSERT_EQ(rowsSeen(*reader_), 10 * i);
    }
    // Each commit writes at least one page: two calls a page if not joined.
    EXPECT_LT(writeCalls() - before, commits * 3 / 2);
}

// A commit the log cannot take fails, as it would without joining its
// writes, and leaves the rows committed before it as they were.
TEST_F(SqliteEngineTest, ACommitTheLogCannotTakeFailsAndKeepsWhatWasCommitted)
{
    commitRows(*writer_, 10, 200);

    // Files may not grow past the log's size now: the next commit must grow it.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = rlim_t(QFileInfo(path_ + QStringLiteral("-wal")).size());
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    EXPECT_THROW(commitRows(*writer_, 10, 3000), DbError);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldSignal);
    try {
        writer_->rollback();
    } catch (const DbError&) {
        // The failed commit may have ended the transaction itself.
    }

    EXPECT_EQ(rowsSeen(*reader_), 10);
    commitRows(*writer_, 5, 200);
    EXPECT_EQ(rowsSeen(*reader_), 15);
    const auto check = engine_.open(path_)->query(QStringLiteral("PRAGMA integrity_check"));
    ASSERT_TRUE(check->next());
    EXPECT_EQ(check->text(QStringLiteral("integrity_check")), QStringLiteral("ok"));
}

// A statement leaves a parameter that repeats bound as it was; every change
// of value or kind, and a failed run, must still reach the stored rows.
TEST_F(SqliteEngineTest, RepeatedParametersStoreTheirValuesThroughKindChangesAndAfterAFailedRun)
{
    writer_->execute(QStringLiteral("CREATE TABLE u (a, b, c, CHECK (a IS NOT 'bad'))"));
    const auto insert = writer_->prepare(QStringLiteral("INSERT INTO u VALUES (?, ?, ?)"));
    const QString host = QStringLiteral("host");
    insert->runValues({host, qint64(1), DbValue()});
    insert->runValues({host, qint64(1), DbValue()});
    insert->runValues({DbValue(), qint64(2), QStringLiteral("x")});
    insert->runValues({QStringView(host), DbValue(), QStringLiteral("x")});
    EXPECT_THROW(insert->runValues({QStringLiteral("bad"), qint64(2), QStringLiteral("x")}), DbError);
    insert->runValues({host, qint64(2), QStringLiteral("x")});
    insert->runTexts({host, QStringLiteral("2"), QStringLiteral("x")});

    const auto rows = reader_->query(QStringLiteral("SELECT quote(a) || ',' || quote(b) || ',' || quote(c) AS r FROM u"));
    QStringList stored;
    while (rows->next())
        stored << rows->text(QStringLiteral("r")).value_or(QString());
    EXPECT_EQ(stored.join(QLatin1Char(' ')),
              QStringLiteral("'host',1,NULL 'host',1,NULL NULL,2,'x' 'host',NULL,'x' 'host',2,'x' 'host','2','x'"));
}
