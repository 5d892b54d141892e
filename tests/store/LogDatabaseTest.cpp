#include "StoreFixture.h"

#include "LogRecord.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <numeric>
#include <random>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QString timeOf(int second) { return QDateTime(QDate(2026, 12, 6), QTime(0, 0)).addSecs(second).toString(kTimeFormat); }

} // namespace

// --- names and quoting ---------------------------------------------------

TEST(StoreNames, DailyTableNamesAndDays)
{
    EXPECT_EQ(dayTableName("2026-12-06"), "syslog-2026-12-06");
    EXPECT_EQ(dayOfTable("syslog-2026-12-06"), "2026-12-06");
    EXPECT_EQ(dayOfTable("archive"), "archive");
}

TEST(StoreNames, QuoteNameDoublesEmbeddedQuotes)
{
    EXPECT_EQ(quoteName("syslog-2026-12-06"), "\"syslog-2026-12-06\"");
    EXPECT_EQ(quoteName("a\"b"), "\"a\"\"b\"");
}

// --- schema --------------------------------------------------------------

using LogDatabaseSchema = StoreFixture;

TEST_F(LogDatabaseSchema, FirstStartCreatesFileAndTodaysTableWithTheFourColumnsInOrder)
{
    ASSERT_FALSE(database.fileExists());
    EXPECT_TRUE(database.EnsureLogDatabase());
    EXPECT_TRUE(QFileInfo(dir.filePath("syslog.mdb")).isFile());
    EXPECT_EQ(database.dayList(), QStringList{today()});

    auto columns = connect()->query(
        "SELECT name, type, pk, \"notnull\" AS nn FROM pragma_table_info('syslog-2026-12-06') ORDER BY cid");
    QStringList described;
    while (columns->next())
        described << QStringLiteral("%1 %2 pk%3 nn%4")
                         .arg(*columns->text("name"), *columns->text("type"), *columns->text("pk"), *columns->text("nn"));
    EXPECT_EQ(described, (QStringList{"ID INTEGER pk1 nn1", "时间 TEXT pk0 nn0", "IP地址 TEXT pk0 nn0", "信息 TEXT pk0 nn0"}));
}

TEST_F(LogDatabaseSchema, PrimaryKeyIsNamedAndNoAutoincrementBookkeepingExists)
{
    database.EnsureLogDatabase();
    const QString ddl = scalar("SELECT sql AS v FROM sqlite_master WHERE name = 'syslog-2026-12-06'");
    EXPECT_TRUE(ddl.contains("CONSTRAINT \"PrimaryKey\" PRIMARY KEY (\"ID\")")) << ddl.toStdString();
    EXPECT_FALSE(ddl.contains("AUTOINCREMENT", Qt::CaseInsensitive));
    EXPECT_EQ(scalar("SELECT count(*) AS v FROM sqlite_master WHERE name = 'sqlite_sequence'"), "0");
    EXPECT_EQ(scalar("SELECT count(*) AS v FROM sqlite_master WHERE type = 'index'"), "0");
}

TEST_F(LogDatabaseSchema, RowsAreNumberedFromOneInInsertionOrder)
{
    database.EnsureLogDatabase();
    insertRows(today(), {{timeOf(3), "1.1.1.1", "a"}, {timeOf(1), "1.1.1.1", "b"}, {timeOf(2), "1.1.1.1", "c"}});
    auto rows = connect()->query("SELECT \"ID\", \"信息\" FROM \"syslog-2026-12-06\" ORDER BY \"ID\"");
    QStringList seen;
    while (rows->next())
        seen << *rows->text("ID") + *rows->text("信息");
    EXPECT_EQ(seen, (QStringList{"1a", "2b", "3c"}));
}

TEST_F(LogDatabaseSchema, TheStoreRejectsTimeOver24AndAddressOver16Characters)
{
    database.EnsureLogDatabase();
    EXPECT_NO_THROW(insertRows(today(), {{QString(24, 'x'), QString(16, '1'), "fits"}}));
    EXPECT_THROW(insertRows(today(), {{QString(25, 'x'), "1.2.3.4", "time too long"}}), DbError);
    EXPECT_THROW(insertRows(today(), {{timeOf(0), QString(17, '1'), "address too long"}}), DbError);
    // Characters, not bytes: 24 Chinese characters fit.
    EXPECT_NO_THROW(insertRows(today(), {{QString(24, QChar(0x65F6)), "1.2.3.4", "wide"}}));
    EXPECT_EQ(rowCount(today()), 2);
}

// --- table listing -------------------------------------------------------

using LogDatabaseDays = StoreFixture;

TEST_F(LogDatabaseDays, OrdinaryTablesOnlyAscendingByName)
{
    createDay("2026-12-04");
    createDay("2026-12-01");
    createDay("2026-12-03");
    auto connection = connect();
    connection->execute("CREATE TABLE archive (x)");
    connection->execute("CREATE TABLE counter (n INTEGER PRIMARY KEY AUTOINCREMENT)"); // brings sqlite_sequence
    connection->execute("CREATE VIEW \"syslog-2026-12-09\" AS SELECT 1");

    std::vector<TableInfo> tables = connection->tables();
    QStringList kinds;
    for (const TableInfo& table : tables)
        kinds << table.name + "=" + table.type;
    EXPECT_TRUE(kinds.contains("sqlite_sequence=SYSTEM TABLE")) << kinds.join(", ").toStdString();
    EXPECT_TRUE(kinds.contains("syslog-2026-12-09=VIEW"));
    EXPECT_TRUE(kinds.contains("archive=TABLE"));

    EXPECT_EQ(database.dayList(), (QStringList{"archive", "counter", "2026-12-01", "2026-12-03", "2026-12-04"}));
}

TEST_F(LogDatabaseDays, EmptyDatabaseListsNoDay)
{
    engine.open(database.path(), DbEngine::OpenMode::CreateIfMissing);
    EXPECT_TRUE(database.dayList().isEmpty());
}

TEST_F(LogDatabaseDays, MissingFileIsAnErrorAndIsNotCreated)
{
    EXPECT_THROW(database.dayList(), DbError);
    EXPECT_THROW(database.TableExists("syslog-2026-12-06"), DbError);
    EXPECT_THROW(database.loadRecentRecords(today()), DbError);
    EXPECT_FALSE(database.fileExists());
}

TEST_F(LogDatabaseDays, TableExistsOnlyForThatExactDay)
{
    createDay("2026-12-05");
    createDay("2026-12-07");
    EXPECT_FALSE(database.TableExists("syslog-2026-12-06"));
    EXPECT_TRUE(database.TableExists("syslog-2026-12-05"));
    insertRows("2026-12-07", {{timeOf(0), "1.2.3.4", "x"}});
    EXPECT_TRUE(database.TableExists("syslog-2026-12-07"));
    EXPECT_FALSE(database.TableExists("syslog-archive"));
}

// --- EnsureLogDatabase on what it finds ----------------------------------

using EnsureLogDatabase = StoreFixture;

TEST_F(EnsureLogDatabase, ExistingFileGetsOnlyTodaysTableAndOthersStayUntouched)
{
    createDay("2026-12-05");
    insertRows("2026-12-05", {{timeOf(1), "10.0.0.1", "kept"}, {timeOf(2), "10.0.0.2", "kept too"}});

    EXPECT_TRUE(database.EnsureLogDatabase());
    EXPECT_EQ(database.dayList(), (QStringList{"2026-12-05", today()}));
    EXPECT_EQ(database.loadRecentRecords("2026-12-05"),
              (QStringList{timeOf(1) + " IP:10.0.0.1 kept", timeOf(2) + " IP:10.0.0.2 kept too"}));
    EXPECT_EQ(rowCount(today()), 0);
}

TEST_F(EnsureLogDatabase, TodaysTablePresentMeansNothingIsCreated)
{
    EXPECT_TRUE(database.EnsureLogDatabase());
    insertRows(today(), {{timeOf(1), "10.0.0.1", "x"}});
    EXPECT_FALSE(database.EnsureLogDatabase());
    EXPECT_FALSE(database.EnsureTodayTable());
    EXPECT_EQ(rowCount(today()), 1);
}

TEST_F(EnsureLogDatabase, NewDayByTheClockCreatesItsTable)
{
    database.EnsureLogDatabase();
    clock.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1)));
    EXPECT_TRUE(database.EnsureTodayTable());
    EXPECT_EQ(database.todayTableName(), "syslog-2026-12-07");
    EXPECT_EQ(database.dayList(), (QStringList{"2026-12-06", "2026-12-07"}));
}

TEST_F(EnsureLogDatabase, FileThatIsNoDatabaseFailsWithTheEngineTextAndIsNotModified)
{
    const QByteArray bytes = QByteArray("Standard Jet DB\0 not something SQLite can read. ", 48).repeated(40);
    writeFile(database.path(), bytes);

    try {
        database.EnsureLogDatabase();
        FAIL() << "a file that is no database was accepted";
    } catch (const DbError& error) {
        EXPECT_TRUE(error.text().contains("not a database")) << error.what();
    }
    EXPECT_EQ(readAll(database.path()), bytes);
    EXPECT_FALSE(QFileInfo::exists(database.path() + "-wal"));
    EXPECT_FALSE(QFileInfo::exists(database.path() + "-shm"));
}

TEST_F(EnsureLogDatabase, UnwritableLocationFailsWithTheEngineText)
{
    writeFile(dir.filePath("plainfile"), "x");
    LogDatabase misplaced(engine, dir.filePath("plainfile/sub"), clock);
    try {
        misplaced.EnsureLogDatabase();
        FAIL() << "a database was reported in a directory that cannot exist";
    } catch (const DbError& error) {
        EXPECT_FALSE(error.text().isEmpty());
    }
}

// --- loading a day's latest records --------------------------------------

using LoadRecentRecords = StoreFixture;

TEST_F(LoadRecentRecords, OfManyRecordsThe500WithTheHighestIdOldestFirst)
{
    database.EnsureLogDatabase();
    std::vector<std::array<QString, 3>> rows;
    for (int i = 1; i <= 1234; ++i) // times run backwards, so only ID order gives the right answer
        rows.push_back({timeOf(5000 - i), "192.168.1.1", QString("m%1").arg(i)});
    insertRows(today(), rows);

    const QStringList lines = database.loadRecentRecords(today());
    ASSERT_EQ(lines.size(), 500);
    EXPECT_EQ(lines.first(), timeOf(5000 - 735) + " IP:192.168.1.1 m735");
    EXPECT_EQ(lines.last(), timeOf(5000 - 1234) + " IP:192.168.1.1 m1234");
}

TEST_F(LoadRecentRecords, FewRecordsAllOfThemOldestFirst)
{
    database.EnsureLogDatabase();
    insertRows(today(), {{timeOf(1), "1.1.1.1", "one"}, {timeOf(2), "2.2.2.2", "two"}, {timeOf(3), "3.3.3.3", "three"}});
    EXPECT_EQ(database.loadRecentRecords(today()),
              (QStringList{timeOf(1) + " IP:1.1.1.1 one", timeOf(2) + " IP:2.2.2.2 two", timeOf(3) + " IP:3.3.3.3 three"}));
}

TEST_F(LoadRecentRecords, TableWithoutIdFallsBackToTheLatestByTime)
{
    engine.open(database.path(), DbEngine::OpenMode::CreateIfMissing)
        ->execute("CREATE TABLE \"syslog-2026-12-02\" (\"时间\" TEXT, \"IP地址\" TEXT, \"信息\" TEXT)");
    std::vector<int> seconds(600);
    std::iota(seconds.begin(), seconds.end(), 0);
    std::shuffle(seconds.begin(), seconds.end(), std::mt19937(7));
    std::vector<std::array<QString, 3>> rows;
    for (int second : seconds)
        rows.push_back({timeOf(second), "1.2.3.4", QString::number(second)});
    insertRows("2026-12-02", rows);

    const QStringList lines = database.loadRecentRecords("2026-12-02");
    ASSERT_EQ(lines.size(), 500);
    EXPECT_EQ(lines.first(), timeOf(100) + " IP:1.2.3.4 100");
    EXPECT_EQ(lines.last(), timeOf(599) + " IP:1.2.3.4 599");
}

TEST_F(LoadRecentRecords, NullFieldsGiveEmptyText)
{
    database.EnsureLogDatabase();
    connect()->execute("INSERT INTO \"syslog-2026-12-06\" (\"时间\",\"IP地址\",\"信息\") VALUES ('t', '1.2.3.4', NULL)");
    connect()->execute("INSERT INTO \"syslog-2026-12-06\" (\"信息\") VALUES ('only message')");
    EXPECT_EQ(database.loadRecentRecords(today()), (QStringList{"t IP:1.2.3.4 ", " IP: only message"}));
}

TEST_F(LoadRecentRecords, MissingTableFailsAndADayTextCannotChangeTheStatement)
{
    database.EnsureLogDatabase();
    insertRows(today(), {{timeOf(1), "1.1.1.1", "safe"}});
    EXPECT_THROW(database.loadRecentRecords("2026-01-01"), DbError);
    EXPECT_THROW(database.loadRecentRecords("x\"; DROP TABLE \"syslog-2026-12-06\"; --"), DbError);
    EXPECT_EQ(rowCount(today()), 1);
}
