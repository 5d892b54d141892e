#include "platform/SqliteEngine.h"
#include "store/Compaction.h"
#include "tests/support/Fakes.h"
#include "tests/support/ForwardingConnection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// Passes everything to a real engine, except that right after the real
// VACUUM INTO has built the compacted copy the test may alter that copy, to
// reach outcomes the engine gives only in rare situations.
class CopyAlteringConnection final : public ForwardingConnection {
public:
    CopyAlteringConnection(std::unique_ptr<DbConnection> inner, std::function<void(const QString&)> alter)
        : ForwardingConnection(std::move(inner)), alter_(std::move(alter))
    {
    }
    std::unique_ptr<DbCursor> query(const QString& sql, const QStringList& params) override
    {
        std::unique_ptr<DbCursor> cursor = inner().query(sql, params);
        if (!sql.startsWith(QLatin1String("VACUUM INTO"), Qt::CaseInsensitive))
            return cursor;
        while (cursor->next()) {
        }
        alter_(params.value(0));
        return inner().query(QStringLiteral("SELECT 1 WHERE 0"));
    }

private:
    std::function<void(const QString&)> alter_;
};

class CopyAlteringEngine final : public DbEngine {
public:
    explicit CopyAlteringEngine(std::function<void(const QString&)> alter) : alter_(std::move(alter)) {}
    std::unique_ptr<DbConnection> open(const QString& path, OpenMode mode) override
    {
        return std::make_unique<CopyAlteringConnection>(real_.open(path, mode), alter_);
    }

private:
    SqliteEngine real_;
    std::function<void(const QString&)> alter_;
};

// An sqlite3 shell working on the database, as another program would.
class Sqlite3Shell {
public:
    explicit Sqlite3Shell(const QString& path)
    {
        process_.start(QStringLiteral("sqlite3"), {path});
        started_ = process_.waitForStarted();
    }
    ~Sqlite3Shell()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.closeWriteChannel();
            process_.waitForFinished();
        }
    }
    bool started() const { return started_; }
    // Sends commands and waits until the shell has printed their first output.
    QString run(const QString& commands)
    {
        process_.write(commands.toUtf8());
        process_.waitForReadyRead(10000);
        return QString::fromUtf8(process_.readAllStandardOutput());
    }
    // Ends the shell the way a crash would: nothing is cleaned up.
    void kill()
    {
        process_.kill();
        process_.waitForFinished();
    }

private:
    QProcess process_;
    bool started_ = false;
};

bool haveSqlite3Shell() { return !QStandardPaths::findExecutable(QStringLiteral("sqlite3")).isEmpty(); }

QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class CompactionTest : public ::testing::Test {
protected:
    QString path() const { return dir_.filePath(QStringLiteral("syslog.mdb")); }
    QString copyPath() const { return dir_.filePath(QStringLiteral("Temporal.mdb")); }
    QString programDir() const { return dir_.path(); }

    // A database with one table per day, each holding `rows` rows of log text.
    void createDatabase(const QStringList& days, int rows)
    {
        const auto connection = engine_.open(path(), DbEngine::OpenMode::CreateIfMissing);
        for (const QString& day : days) {
            const QString table = QStringLiteral("\"syslog-%1\"").arg(day);
            connection->execute(QStringLiteral("CREATE TABLE %1 (ID INTEGER PRIMARY KEY AUTOINCREMENT, "
                                               "时间 TEXT, IP地址 TEXT, 信息 TEXT)")
                                    .arg(table));
            connection->begin();
            const auto insert = connection->prepare(
                QStringLiteral("INSERT INTO %1 (时间, IP地址, 信息) VALUES (?, ?, ?)").arg(table));
            for (int i = 0; i < rows; ++i)
                insert->runTexts({day + QStringLiteral(" 10:00:00"), QStringLiteral("10.0.0.1"),
                             QStringLiteral("message %1 ").arg(i).repeated(8)});
            connection->commit();
        }
    }
    void dropDays(const QStringList& days)
    {
        const auto connection = engine_.open(path());
        for (const QString& day : days)
            connection->execute(QStringLiteral("DROP TABLE \"syslog-%1\"").arg(day));
    }
    QStringList tableNames()
    {
        QStringList names;
        for (const TableInfo& table : engine_.open(path())->tables())
            if (table.type == QLatin1String("TABLE"))
                names << table.name;
        return names;
    }
    int rowCount(const QString& day)
    {
        const auto connection = engine_.open(path());
        const auto result = connection->query(QStringLiteral("SELECT count(*) AS n FROM \"syslog-%1\"").arg(day));
        return result->next() ? result->text(QStringLiteral("n")).value_or(QString()).toInt() : -1;
    }
    QString integrity()
    {
        const auto connection = engine_.open(path());
        const auto result = connection->query(QStringLiteral("PRAGMA integrity_check"));
        return result->next() ? result->text(QStringLiteral("integrity_check")).value_or(QString()) : QString();
    }
    QStringList sideFiles() const
    {
        QStringList present;
        for (const char* suffix : {"-journal", "-wal", "-shm"})
            if (QFileInfo::exists(path() + QLatin1String(suffix)))
                present << path() + QLatin1String(suffix);
        return present;
    }
    // True when the compacted copy replaced the file; a failure's reason lands in failure_.
    bool compact(DbEngine& engine, const QString& file)
    {
        const Result<Compacted> outcome = compactDatabaseFile(engine, file, programDir());
        failure_ = outcome.error();
        return outcome && *outcome == Compacted::Replaced;
    }

    QTemporaryDir dir_;
    SqliteEngine engine_;
    QString failure_;
};

TEST_F(CompactionTest, DroppedTablesGiveTheirSpaceBack)
{
    createDatabase({u"2026-11-01"_s, u"2026-11-02"_s, u"2026-11-03"_s}, 2000);
    dropDays({u"2026-11-01"_s, u"2026-11-02"_s});
    const qint64 before = QFileInfo(path()).size();

    EXPECT_TRUE(compact(engine_, path()));

    EXPECT_LT(QFileInfo(path()).size(), before / 2);
    EXPECT_FALSE(QFileInfo::exists(copyPath()));
    EXPECT_TRUE(sideFiles().isEmpty());
    EXPECT_TRUE(failure_.isEmpty());
    EXPECT_EQ(tableNames(), QStringList{u"syslog-2026-11-03"_s});
    EXPECT_EQ(integrity(), u"ok"_s);
}

TEST_F(CompactionTest, LeftoverCopyIsReplacedAndAnUnshrinkableFileStillReplaced)
{
    createDatabase({u"2026-11-01"_s}, 50);
    QFile leftover(copyPath());
    ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    leftover.write("half-written copy of an earlier run");
    leftover.close();

    EXPECT_TRUE(compact(engine_, path()));

    EXPECT_FALSE(QFileInfo::exists(copyPath()));
    EXPECT_TRUE(failure_.isEmpty());
    EXPECT_EQ(tableNames(), QStringList{u"syslog-2026-11-01"_s});
}

TEST_F(CompactionTest, CopyIsBuiltInTheProgramDirectoryWhereverTheFileLies)
{
    QDir(programDir()).mkdir(QStringLiteral("data"));
    const QString elsewhere = dir_.filePath(QStringLiteral("data/syslog.mdb"));
    engine_.open(elsewhere, DbEngine::OpenMode::CreateIfMissing)->execute(QStringLiteral("CREATE TABLE t (x)"));
    bool copyInProgramDir = false;
    CopyAlteringEngine watching([&](const QString& copy) { copyInProgramDir = copy == copyPath(); });

    EXPECT_TRUE(compact(watching, elsewhere));

    EXPECT_TRUE(copyInProgramDir);
    EXPECT_FALSE(QFileInfo::exists(copyPath()));
    EXPECT_TRUE(QFileInfo(elsewhere).isFile());
}

// A program that crashed after committing leaves its records only in the WAL
// next to the file. They must reach the compacted copy, and that WAL must never
// be applied to the new file afterwards.
TEST_F(CompactionTest, RecordsLeftInTheWalOfACrashedProgramAreKept)
{
    if (!haveSqlite3Shell())
        GTEST_SKIP() << "sqlite3 shell not installed";
    createDatabase({u"2026-11-01"_s}, 500);
    dropDays({u"2026-11-01"_s});
    {
        Sqlite3Shell shell(path());
        ASSERT_TRUE(shell.started());
        shell.run(QStringLiteral("CREATE TABLE \"syslog-2026-11-02\" (ID INTEGER PRIMARY KEY, 信息 TEXT);"
                                 "INSERT INTO \"syslog-2026-11-02\" (信息) VALUES ('kept');"
                                 "SELECT count(*) FROM sqlite_master;\n"));
        shell.kill();
    }
    ASSERT_TRUE(QFileInfo::exists(path() + u"-wal"_s));

    EXPECT_TRUE(compact(engine_, path()));

    EXPECT_TRUE(sideFiles().isEmpty());
    EXPECT_EQ(integrity(), u"ok"_s);
    const auto connection = engine_.open(path());
    const auto rows = connection->query(QStringLiteral("SELECT 信息 FROM \"syslog-2026-11-02\""));
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->text(QStringLiteral("信息")), u"kept"_s);
}

TEST_F(CompactionTest, LargerCopyIsDiscardedSilently)
{
    createDatabase({u"2026-11-01"_s}, 200);
    const qint64 before = QFileInfo(path()).size();
    CopyAlteringEngine growing([&](const QString& copy) {
        QFile file(copy);
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write(QByteArray(before + 1, '\0'));
    });

    EXPECT_FALSE(compact(growing, path()));

    EXPECT_TRUE(failure_.isEmpty());
    EXPECT_EQ(QFileInfo(path()).size(), before);
    EXPECT_EQ(rowCount(u"2026-11-01"_s), 200);
    EXPECT_FALSE(QFileInfo::exists(copyPath()));
}

TEST_F(CompactionTest, CopyOfExactlyTheSameSizeReplacesTheFile)
{
    createDatabase({u"2026-11-01"_s}, 200);
    const qint64 before = QFileInfo(path()).size();
    CopyAlteringEngine padding([&](const QString& copy) {
        QFile file(copy);
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write(QByteArray(before - file.size(), '\0'));
    });

    EXPECT_TRUE(compact(padding, path()));

    EXPECT_EQ(QFileInfo(path()).size(), before);
    EXPECT_FALSE(QFileInfo::exists(copyPath()));
    EXPECT_EQ(integrity(), u"ok"_s);
}

TEST_F(CompactionTest, FileHeldByAnotherProgramIsLeftUntouched)
{
    if (!haveSqlite3Shell())
        GTEST_SKIP() << "sqlite3 shell not installed";
    createDatabase({u"2026-11-01"_s, u"2026-11-02"_s}, 300);
    dropDays({u"2026-11-01"_s});
    const QByteArray original = bytesOf(path());
    Sqlite3Shell shell(path());
    ASSERT_TRUE(shell.started());
    ASSERT_FALSE(shell.run(QStringLiteral("BEGIN; SELECT count(*) FROM sqlite_master;\n")).trimmed().isEmpty());

    EXPECT_FALSE(compact(engine_, path()));

        EXPECT_TRUE(failure_.contains(u"database is locked"_s)) << failure_.toStdString();
    EXPECT_EQ(bytesOf(path()), original);
    EXPECT_FALSE(QFileInfo::exists(copyPath()));
}

TEST_F(CompactionTest, FileStillOpenInThisProcessIsLeftUntouched)
{
    createDatabase({u"2026-11-01"_s}, 100);
    const auto writer = engine_.open(path());
    writer->execute(QStringLiteral("INSERT INTO \"syslog-2026-11-01\" (信息) VALUES ('late')"));

    EXPECT_FALSE(compact(engine_, path()));

        EXPECT_TRUE(failure_.contains(u"database is locked"_s)) << failure_.toStdString();
    EXPECT_FALSE(QFileInfo::exists(copyPath()));
    const auto rows = writer->query(QStringLiteral("SELECT count(*) AS n FROM \"syslog-2026-11-01\""));
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->text(QStringLiteral("n")), u"101"_s);
}

TEST_F(CompactionTest, FailedReplacementKeepsTheOldDatabase)
{
    createDatabase({u"2026-11-01"_s, u"2026-11-02"_s}, 300);
    dropDays({u"2026-11-01"_s});
    const qint64 before = QFileInfo(path()).size();
    // The copy turns into something that cannot be renamed over a file.
    CopyAlteringEngine blocking([&](const QString& copy) {
        QFile::remove(copy);
        QDir().mkpath(copy + QStringLiteral("/inside"));
    });

    EXPECT_FALSE(compact(blocking, path()));

        EXPECT_TRUE(failure_.contains(u"rename"_s)) << failure_.toStdString();
    EXPECT_EQ(QFileInfo(path()).size(), before);
    EXPECT_EQ(integrity(), u"ok"_s);
    EXPECT_EQ(tableNames(), QStringList{u"syslog-2026-11-02"_s});
    EXPECT_EQ(rowCount(u"2026-11-02"_s), 300);
}

TEST_F(CompactionTest, MissingFileShowsTheEnginesTextAndCreatesNothing)
{
    QString engineText;
    try {
        engine_.open(path());
    } catch (const DbError& error) {
        engineText = error.text();
    }
    ASSERT_FALSE(engineText.isEmpty());

    EXPECT_FALSE(compact(engine_, path()));

    EXPECT_EQ(failure_, engineText);
    EXPECT_TRUE(QDir(programDir()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
}

} // namespace
