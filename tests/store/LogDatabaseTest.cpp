#include "tests/store/StoreFixture.h"

#include "store/LogRecord.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <numeric>
#include <random>

using namespace Qt::StringLiterals;

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

QString timeOf(int second)
{
    return QDateTime(QDate(2026, 12, 6), QTime(0, 0)).addSecs(second).toString(QLatin1String(kTimeFormat));
}

} // namespace

// --- names and quoting ---------------------------------------------------

TEST(StoreNames, DailyTableNamesAndDays)
{
    EXPECT_EQ(dayTableName(u"2026-12-06"_s), u"syslog-2026-12-06"_s);
    EXPECT_EQ(dayOfTable(u"syslog-2026-12-06"_s), u"2026-12-06"_s);
    EXPECT_EQ(dayOfTable(u"archive"_s), u"archive"_s);
}

TEST(StoreNames, QuoteNameDoublesEmbeddedQuotes)
{
    EXPECT_EQ(quoteName(u"syslog-2026-12-06"_s), u"\"syslog-2026-12-06\""_s);
    EXPECT_EQ(quoteName(u"a\"b"_s), u"\"a\"\"b\""_s);
}

// --- schema --------------------------------------------------------------

using LogDatabaseSchema = StoreFixture;

TEST_F(LogDatabaseSchema, FirstStartCreatesFileAndTodaysTableWithTheFourColumnsFirstThenTheFields)
{
    ASSERT_FALSE(database_.fileExists());
    EXPECT_TRUE(database_.ensureFileAndTodayTable());
    EXPECT_TRUE(QFileInfo(dir_.filePath(u"syslog.mdb"_s)).isFile());
    EXPECT_EQ(database_.dayList(), QStringList{today()});

    auto columns = connect()->query(
        u"SELECT name, type, pk, \"notnull\" AS nn FROM pragma_table_info('syslog-2026-12-06') ORDER BY cid"_s);
    QStringList described;
    while (columns->next())
        described << QStringLiteral("%1 %2 pk%3 nn%4")
                         .arg(*columns->text(u"name"_s), *columns->text(u"type"_s), *columns->text(u"pk"_s),
                              *columns->text(u"nn"_s));
    EXPECT_EQ(described,
              (QStringList{u"ID INTEGER pk1 nn1"_s, u"时间 TEXT pk0 nn0"_s, u"IP地址 TEXT pk0 nn0"_s,
                           u"信息 TEXT pk0 nn0"_s, u"facility INTEGER pk0 nn0"_s, u"severity INTEGER pk0 nn0"_s,
                           u"host TEXT pk0 nn0"_s, u"app TEXT pk0 nn0"_s, u"procid TEXT pk0 nn0"_s,
                           u"msgid TEXT pk0 nn0"_s, u"timestamp TEXT pk0 nn0"_s, u"sd TEXT pk0 nn0"_s,
                           u"head TEXT pk0 nn0"_s, u"msgpos INTEGER pk0 nn0"_s}));
}

TEST_F(LogDatabaseSchema, PrimaryKeyIsNamedAndNoAutoincrementBookkeepingExists)
{
    database_.ensureFileAndTodayTable();
    const QString ddl = scalar(u"SELECT sql AS v FROM sqlite_master WHERE name = 'syslog-2026-12-06'"_s);
    EXPECT_TRUE(ddl.contains(u"CONSTRAINT \"PrimaryKey\" PRIMARY KEY (\"ID\")"_s)) << ddl.toStdString();
    EXPECT_FALSE(ddl.contains(u"AUTOINCREMENT"_s, Qt::CaseInsensitive));
    EXPECT_EQ(scalar(u"SELECT count(*) AS v FROM sqlite_master WHERE name = 'sqlite_sequence'"_s), u"0"_s);
    EXPECT_EQ(scalar(u"SELECT count(*) AS v FROM sqlite_master WHERE type = 'index'"_s), u"0"_s);
}

TEST_F(LogDatabaseSchema, RowsAreNumberedFromOneInInsertionOrder)
{
    database_.ensureFileAndTodayTable();
    insertRows(today(), {{timeOf(3), u"1.1.1.1"_s, u"a"_s},
                         {timeOf(1), u"1.1.1.1"_s, u"b"_s},
                         {timeOf(2), u"1.1.1.1"_s, u"c"_s}});
    auto rows = connect()->query(u"SELECT \"ID\", \"信息\" FROM \"syslog-2026-12-06\" ORDER BY \"ID\""_s);
    QStringList seen;
    while (rows->next())
        seen << *rows->text(u"ID"_s) + *rows->text(u"信息"_s);
    EXPECT_EQ(seen, (QStringList{u"1a"_s, u"2b"_s, u"3c"_s}));
}

TEST_F(LogDatabaseSchema, TheStoreRejectsTimeOver24AndAddressOver45Characters)
{
    database_.ensureFileAndTodayTable();
    EXPECT_NO_THROW(insertRows(today(), {{QString(24, u'x'), QString(45, u'1'), u"fits"_s}}));
    EXPECT_THROW(insertRows(today(), {{QString(25, u'x'), u"1.2.3.4"_s, u"time too long"_s}}), DbError);
    EXPECT_THROW(insertRows(today(), {{timeOf(0), QString(46, u'1'), u"address too long"_s}}), DbError);
    // Characters, not bytes: 24 Chinese characters fit.
    EXPECT_NO_THROW(insertRows(today(), {{QString(24, QChar(0x65F6)), u"1.2.3.4"_s, u"wide"_s}}));
    EXPECT_EQ(rowCount(today()), 2);
}

// --- table listing -------------------------------------------------------

using LogDatabaseDays = StoreFixture;

TEST_F(LogDatabaseDays, OrdinaryTablesOnlyAscendingByName)
{
    createDay(u"2026-12-04"_s);
    createDay(u"2026-12-01"_s);
    createDay(u"2026-12-03"_s);
    auto connection = connect();
    connection->execute(u"CREATE TABLE archive (x)"_s);
    connection->execute(u"CREATE TABLE counter (n INTEGER PRIMARY KEY AUTOINCREMENT)"_s); // brings sqlite_sequence
    connection->execute(u"CREATE VIEW \"syslog-2026-12-09\" AS SELECT 1"_s);

    std::vector<TableInfo> tables = connection->tables();
    QStringList kinds;
    for (const TableInfo& table : tables)
        kinds << table.name + u"="_s + table.type;
    EXPECT_TRUE(kinds.contains(u"sqlite_sequence=SYSTEM TABLE"_s)) << kinds.join(u", "_s).toStdString();
    EXPECT_TRUE(kinds.contains(u"syslog-2026-12-09=VIEW"_s));
    EXPECT_TRUE(kinds.contains(u"archive=TABLE"_s));

    EXPECT_EQ(database_.dayList(),
              (QStringList{u"archive"_s, u"counter"_s, u"2026-12-01"_s, u"2026-12-03"_s, u"2026-12-04"_s}));
}

TEST_F(LogDatabaseDays, EmptyDatabaseListsNoDay)
{
    engine_.open(database_.path(), DbEngine::OpenMode::CreateIfMissing);
    EXPECT_TRUE(database_.dayList().isEmpty());
}

TEST_F(LogDatabaseDays, MissingFileIsAnErrorAndIsNotCreated)
{
    EXPECT_THROW(database_.dayList(), DbError);
    EXPECT_THROW(database_.tableExists(u"syslog-2026-12-06"_s), DbError);
    EXPECT_THROW(database_.loadRecentRecords(today()), DbError);
    EXPECT_FALSE(database_.fileExists());
}

TEST_F(LogDatabaseDays, TableExistsOnlyForThatExactDay)
{
    createDay(u"2026-12-05"_s);
    createDay(u"2026-12-07"_s);
    EXPECT_FALSE(database_.tableExists(u"syslog-2026-12-06"_s));
    EXPECT_TRUE(database_.tableExists(u"syslog-2026-12-05"_s));
    insertRows(u"2026-12-07"_s, {{timeOf(0), u"1.2.3.4"_s, u"x"_s}});
    EXPECT_TRUE(database_.tableExists(u"syslog-2026-12-07"_s));
    EXPECT_FALSE(database_.tableExists(u"syslog-archive"_s));
}

// --- EnsureFileAndTodayTable on what it finds ----------------------------------

using EnsureFileAndTodayTable = StoreFixture;

TEST_F(EnsureFileAndTodayTable, ExistingFileGetsOnlyTodaysTableAndOthersStayUntouched)
{
    createDay(u"2026-12-05"_s);
    insertRows(u"2026-12-05"_s, {{timeOf(1), u"10.0.0.1"_s, u"kept"_s}, {timeOf(2), u"10.0.0.2"_s, u"kept too"_s}});

    EXPECT_TRUE(database_.ensureFileAndTodayTable());
    EXPECT_EQ(database_.dayList(), (QStringList{u"2026-12-05"_s, today()}));
    EXPECT_EQ(database_.loadRecentRecords(u"2026-12-05"_s),
              (QStringList{timeOf(1) + u" IP:10.0.0.1 kept"_s, timeOf(2) + u" IP:10.0.0.2 kept too"_s}));
    EXPECT_EQ(rowCount(today()), 0);
}

TEST_F(EnsureFileAndTodayTable, TodaysTablePresentMeansNothingIsCreated)
{
    EXPECT_TRUE(database_.ensureFileAndTodayTable());
    insertRows(today(), {{timeOf(1), u"10.0.0.1"_s, u"x"_s}});
    EXPECT_FALSE(database_.ensureFileAndTodayTable());
    EXPECT_FALSE(database_.ensureTodayTable());
    EXPECT_EQ(rowCount(today()), 1);
}

TEST_F(EnsureFileAndTodayTable, NewDayByTheClockCreatesItsTable)
{
    database_.ensureFileAndTodayTable();
    clock_.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1)));
    EXPECT_TRUE(database_.ensureTodayTable());
    EXPECT_EQ(database_.todayTableName(), u"syslog-2026-12-07"_s);
    EXPECT_EQ(database_.dayList(), (QStringList{u"2026-12-06"_s, u"2026-12-07"_s}));
}

TEST_F(EnsureFileAndTodayTable, FileThatIsNoDatabaseFailsWithTheEngineTextAndIsNotModified)
{
    const QByteArray bytes = QByteArray("Standard Jet DB\0 not something SQLite can read. ", 48).repeated(40);
    writeFile(database_.path(), bytes);

    try {
        database_.ensureFileAndTodayTable();
        FAIL() << "a file that is no database was accepted";
    } catch (const DbError& error) {
        EXPECT_TRUE(error.text().contains(u"not a database"_s)) << error.what();
        EXPECT_EQ(error.code(), DbError::kNotADatabase);
    }
    EXPECT_EQ(readAll(database_.path()), bytes);
    EXPECT_FALSE(QFileInfo::exists(database_.path() + u"-wal"_s));
    EXPECT_FALSE(QFileInfo::exists(database_.path() + u"-shm"_s));
}

TEST_F(EnsureFileAndTodayTable, UnwritableLocationFailsWithTheEngineText)
{
    writeFile(dir_.filePath(u"plainfile"_s), "x");
    LogDatabase misplaced(engine_, dir_.filePath(u"plainfile/sub"_s), clock_);
    try {
        misplaced.ensureFileAndTodayTable();
        FAIL() << "a database was reported in a directory that cannot exist";
    } catch (const DbError& error) {
        EXPECT_FALSE(error.text().isEmpty());
        EXPECT_EQ(error.code(), DbError::kCantOpen);
    }
}

// --- loading a day's latest records --------------------------------------

using LoadRecentRecords = StoreFixture;

TEST_F(LoadRecentRecords, OfManyRecordsThe500WithTheHighestIdOldestFirst)
{
    database_.ensureFileAndTodayTable();
    std::vector<std::array<QString, 3>> rows;
    for (int i = 1; i <= 1234; ++i) // times run backwards, so only ID order gives the right answer
        rows.push_back({timeOf(5000 - i), u"192.168.1.1"_s, QString(u"m%1"_s).arg(i)});
    insertRows(today(), rows);

    const QStringList lines = database_.loadRecentRecords(today());
    ASSERT_EQ(lines.size(), 500);
    EXPECT_EQ(lines.first(), timeOf(5000 - 735) + u" IP:192.168.1.1 m735"_s);
    EXPECT_EQ(lines.last(), timeOf(5000 - 1234) + u" IP:192.168.1.1 m1234"_s);
}

TEST_F(LoadRecentRecords, FewRecordsAllOfThemOldestFirst)
{
    database_.ensureFileAndTodayTable();
    insertRows(today(), {{timeOf(1), u"1.1.1.1"_s, u"one"_s},
                         {timeOf(2), u"2.2.2.2"_s, u"two"_s},
                         {timeOf(3), u"3.3.3.3"_s, u"three"_s}});
    EXPECT_EQ(database_.loadRecentRecords(today()),
              (QStringList{timeOf(1) + u" IP:1.1.1.1 one"_s, timeOf(2) + u" IP:2.2.2.2 two"_s,
                           timeOf(3) + u" IP:3.3.3.3 three"_s}));
}

TEST_F(LoadRecentRecords, TableWithoutIdFallsBackToTheLatestByTime)
{
    engine_.open(database_.path(), DbEngine::OpenMode::CreateIfMissing)
        ->execute(u"CREATE TABLE \"syslog-2026-12-02\" (\"时间\" TEXT, \"IP地址\" TEXT, \"信息\" TEXT)"_s);
    std::vector<int> seconds(600);
    std::iota(seconds.begin(), seconds.end(), 0);
    std::shuffle(seconds.begin(), seconds.end(), std::mt19937(7));
    std::vector<std::array<QString, 3>> rows;
    for (int second : seconds)
        rows.push_back({timeOf(second), u"1.2.3.4"_s, QString::number(second)});
    insertRows(u"2026-12-02"_s, rows);

    const QStringList lines = database_.loadRecentRecords(u"2026-12-02"_s);
    ASSERT_EQ(lines.size(), 500);
    EXPECT_EQ(lines.first(), timeOf(100) + u" IP:1.2.3.4 100"_s);
    EXPECT_EQ(lines.last(), timeOf(599) + u" IP:1.2.3.4 599"_s);
}

TEST_F(LoadRecentRecords, NullFieldsGiveEmptyText)
{
    database_.ensureFileAndTodayTable();
    connect()->execute(u"INSERT INTO \"syslog-2026-12-06\" (\"时间\",\"IP地址\",\"信息\") VALUES ('t', '1.2.3.4', NULL)"_s);
    connect()->execute(u"INSERT INTO \"syslog-2026-12-06\" (\"信息\") VALUES ('only message')"_s);
    EXPECT_EQ(database_.loadRecentRecords(today()), (QStringList{u"t IP:1.2.3.4 "_s, u" IP: only message"_s}));
}

TEST_F(LoadRecentRecords, MissingTableFailsAndADayTextCannotChangeTheStatement)
{
    database_.ensureFileAndTodayTable();
    insertRows(today(), {{timeOf(1), u"1.1.1.1"_s, u"safe"_s}});
    EXPECT_THROW(database_.loadRecentRecords(u"2026-01-01"_s), DbError);
    EXPECT_THROW(database_.loadRecentRecords(u"x\"; DROP TABLE \"syslog-2026-12-06\"; --"_s), DbError);
    EXPECT_EQ(rowCount(today()), 1);
}
