// What a long read on a connection of its own relies on: it can be stopped
// from its progress check, and it can see the writer's log grow meanwhile.
#include "platform/SqliteEngine.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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
