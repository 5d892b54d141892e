#include "tests/store/StoreFixture.h"

#include "store/LogRecord.h"
#include "store/SharedWriter.h"

#include <QFileInfo>
#include <QTest>
#include <span>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

LogRecord record(const QString& message) { return {QStringLiteral("2026-12-06 13:45:10"), QStringLiteral("10.1.2.3"), message}; }

} // namespace

class SharedWriterTest : public StoreFixture {
protected:
    SharedWriter writer_{engine_, database_.path(), clock_};
};

TEST_F(SharedWriterTest, WritesIntoTheTableOfTheDayItWasOpenedOn)
{
    database_.ensureFileAndTodayTable();
    const Result<> opened = writer_.reopen();
    ASSERT_TRUE(opened) << opened.error().toStdString();
    EXPECT_TRUE(writer_.isOpen());
    EXPECT_TRUE(writer_.insertSqlText().contains(u"\"syslog-2026-12-06\""_s));

    writer_.append(record(u"first"_s));
    createDay(u"2026-12-07"_s);
    clock_.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 5)));
    writer_.append(record(u"still the day it was opened on"_s));
    EXPECT_EQ(rowCount(today()), 2);

    ASSERT_TRUE(writer_.reopen());
    writer_.append(record(u"new day"_s));
    EXPECT_EQ(rowCount(u"2026-12-07"_s), 1);
    EXPECT_EQ(rowCount(today()), 2);
}

TEST_F(SharedWriterTest, StoresTextsExactlyIncludingEmptyAndLineBreaks)
{
    database_.ensureFileAndTodayTable();
    ASSERT_TRUE(writer_.reopen());
    writer_.append({u"2026-12-06 13:45:10"_s, u"10.1.2.3"_s, u"line one\r\nline two 信息"_s});
    writer_.append({u"2026-12-06 13:45:11"_s, u"10.1.2.3"_s, QString()});
    EXPECT_EQ(scalar(u"SELECT \"信息\" AS v FROM \"syslog-2026-12-06\" WHERE \"ID\" = 1"_s), u"line one\r\nline two 信息"_s);
    EXPECT_EQ(scalar(u"SELECT count(*) AS v FROM \"syslog-2026-12-06\" WHERE \"信息\" = ''"_s), u"1"_s);
}

TEST_F(SharedWriterTest, ReopenFailsWithoutTodaysTableAndLeavesItClosed)
{
    createDay(u"2026-12-05"_s);
    const Result<> opened = writer_.reopen();
    EXPECT_FALSE(opened);
    EXPECT_FALSE(writer_.isOpen());
    EXPECT_TRUE(opened.error().contains(u"no such table"_s)) << opened.error().toStdString();
    EXPECT_THROW(writer_.append(record(u"nowhere to go"_s)), DbError);
    EXPECT_THROW(writer_.begin(), DbError);
}

TEST_F(SharedWriterTest, ReopenNeverCreatesAMissingFile)
{
    const Result<> opened = writer_.reopen();
    EXPECT_FALSE(opened);
    EXPECT_FALSE(opened.error().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(database_.path()));
}

TEST_F(SharedWriterTest, RolledBackRowsAreNotStoredCommittedOnesAre)
{
    database_.ensureFileAndTodayTable();
    ASSERT_TRUE(writer_.reopen());
    writer_.begin();
    writer_.append(record(u"a"_s));
    writer_.append(record(u"b"_s));
    writer_.rollback();
    EXPECT_EQ(rowCount(today()), 0);

    writer_.begin();
    writer_.append(record(u"c"_s));
    writer_.append(record(u"d"_s));
    writer_.commit();
    EXPECT_EQ(database_.loadRecentRecords(today()).join(u"|"_s),
              u"2026-12-06 13:45:10 IP:10.1.2.3 c|2026-12-06 13:45:10 IP:10.1.2.3 d"_s);
}

TEST_F(SharedWriterTest, ARejectedRowInsideATransactionLeavesTheOthersToTheCaller)
{
    database_.ensureFileAndTodayTable();
    ASSERT_TRUE(writer_.reopen());
    writer_.begin();
    writer_.append(record(u"kept"_s));
    EXPECT_THROW(writer_.append({QString(25, u'2'), u"10.1.2.3"_s, u"too long"_s}), DbError);
    writer_.commit();
    EXPECT_EQ(rowCount(today()), 1);
    // The statement is usable again after a failure.
    writer_.append(record(u"after"_s));
    EXPECT_EQ(rowCount(today()), 2);
}

TEST_F(SharedWriterTest, CloseFreesTheFileAndReopenComesBack)
{
    database_.ensureFileAndTodayTable();
    ASSERT_TRUE(writer_.reopen());
    writer_.close();
    EXPECT_FALSE(writer_.isOpen());
    EXPECT_THROW(writer_.append(record(u"closed"_s)), DbError);
    // Nobody holds the file: an exclusive lock is granted at once.
    auto other = connect();
    other->execute(u"BEGIN EXCLUSIVE"_s);
    other->execute(u"COMMIT"_s);
    ASSERT_TRUE(writer_.reopen());
    ASSERT_TRUE(writer_.reopen());
    writer_.append(record(u"back"_s));
    EXPECT_EQ(rowCount(today()), 1);
}

TEST_F(SharedWriterTest, ASecondConnectionReadsWhileTheWriterWrites)
{
    database_.ensureFileAndTodayTable();
    ASSERT_TRUE(writer_.reopen());
    writer_.append(record(u"committed"_s));
    writer_.begin();
    writer_.append(record(u"pending"_s));
    EXPECT_EQ(database_.loadRecentRecords(today()), QStringList{u"2026-12-06 13:45:10 IP:10.1.2.3 committed"_s});
    EXPECT_NO_THROW(writer_.append(record(u"pending too"_s)));
    writer_.commit();
    EXPECT_EQ(database_.loadRecentRecords(today()).size(), 3);
    EXPECT_EQ(database_.dayList(), QStringList{today()});
}

// Records appended together are stored in order, several a statement and
// the rest alone, each with its fields (or none) and the ID of its row.
TEST_F(SharedWriterTest, RecordsAppendedTogetherKeepTheirOrderFieldsAndIds)
{
    database_.ensureFileAndTodayTable();
    ASSERT_TRUE(writer_.reopen());
    EXPECT_EQ(writer_.append(record(u"alone"_s)), 1);
    std::vector<LogRecord> records;
    for (int i = 0; i < 2 * int(SharedWriter::kRowsPerInsert) + 3; ++i) {
        LogRecord next = record(u"message %1"_s.arg(i));
        if (i % 4 != 0) { // every fourth without fields
            next.fields.facility = i % 24;
            next.fields.severity = i % 8;
            next.fields.host = u"h%1"_s.arg(i);
            next.fields.head = u"app:"_s;
            next.fields.msgPos = i;
        }
        records.push_back(next);
    }
    records.push_back(record(u"one more alone"_s));
    writer_.begin();
    writer_.appendAll(std::span(records).first(records.size() - 1));
    writer_.appendAll(std::span(records).last(1));
    writer_.commit();

    auto rows = connect()->query(u"SELECT * FROM \"syslog-2026-12-06\" WHERE ID > 1 ORDER BY ID"_s);
    for (const LogRecord& expected : records) {
        ASSERT_TRUE(rows->next());
        EXPECT_EQ(rows->text(u"ID"_s)->toLongLong(), expected.id);
        EXPECT_EQ(rows->text(u"信息"_s), expected.message);
        EXPECT_EQ(storedFields(*rows), expected.fields) << expected.message.toStdString();
    }
    EXPECT_FALSE(rows->next());
    EXPECT_EQ(records.back().id, qint64(records.size()) + 1);
}

// In a table of today made before IPv6 senders were received, an IPv6
// address anywhere in the records widens it before any of them is stored.
TEST_F(SharedWriterTest, AnIpv6AddressAmongRecordsAppendedTogetherWidensTodaysOldTable)
{
    createDay(u"2026-12-05"_s);
    connect()->execute(u"CREATE TABLE \"syslog-2026-12-06\" (\"ID\" INTEGER NOT NULL, \"时间\" TEXT, "
                       "\"IP地址\" TEXT CHECK (length(\"IP地址\") <= 16), \"信息\" TEXT, "
                       "CONSTRAINT \"PrimaryKey\" PRIMARY KEY (\"ID\"))"_s);
    ASSERT_TRUE(writer_.reopen());
    std::vector<LogRecord> records(5, record(u"v4"_s));
    records[3].ip = u"2001:db8:1234:5678:9abc:def0:1234:5678"_s;
    writer_.appendAll(records);
    EXPECT_EQ(records[4].id, 5);
    EXPECT_EQ(scalar(u"SELECT \"IP地址\" AS v FROM \"syslog-2026-12-06\" WHERE ID = 4"_s), records[3].ip);
    EXPECT_EQ(rowCount(today()), 5);
}

TEST_F(SharedWriterTest, ALockedDatabaseFailsTheWriteAfterTheBusyTimeout)
{
    database_.ensureFileAndTodayTable();
    ASSERT_TRUE(writer_.reopen());
    auto holder = connect();
    holder->execute(u"BEGIN EXCLUSIVE"_s);
    try {
        writer_.append(record(u"blocked"_s));
        FAIL() << "a write succeeded while another connection held the file exclusively";
    } catch (const DbError& error) {
        EXPECT_TRUE(error.text().contains(u"locked"_s)) << error.what();
        EXPECT_EQ(error.code(), DbError::kBusy);
        EXPECT_TRUE(error.isLockHeld());
    }
    holder->execute(u"COMMIT"_s);
    writer_.append(record(u"free again"_s));
    EXPECT_EQ(rowCount(today()), 1);
}

TEST(PreparedStatement, ATextRepeatedAtAPositionIsStoredAsGivenWhateverCameBetween)
{
    QTemporaryDir dir;
    SqliteEngine engine;
    const QString path = QDir(dir.path()).filePath(QStringLiteral("t.db"));
    auto connection = engine.open(path, DbEngine::OpenMode::CreateIfMissing);
    connection->execute(QStringLiteral("CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT)"));
    auto insert = connection->prepare(QStringLiteral("INSERT INTO t (a) VALUES (?)"));
    const QString shortText = QStringLiteral("10.0.0.1");
    const QString longText = QStringLiteral("a message much longer than any address or time text");
    for (const QString& text : {shortText, shortText, longText, shortText, QStringLiteral("端口"), shortText})
        insert->runTexts({text});
    auto rows = connection->query(QStringLiteral("SELECT a FROM t ORDER BY id"));
    QStringList stored;
    while (rows->next())
        stored << *rows->text(QStringLiteral("a"));
    EXPECT_EQ(stored, (QStringList{shortText, shortText, longText, shortText, QStringLiteral("端口"), shortText}));
}

TEST(PreparedStatement, ALogKeptOnAnotherThreadIsStillCopiedIntoTheFileAndStaysBounded)
{
    QTemporaryDir dir;
    SqliteEngine engine;
    const QString path = QDir(dir.path()).filePath(QStringLiteral("t.db"));
    auto connection = engine.open(path, DbEngine::OpenMode::CreateIfMissing);
    connection->keepLogOnAnotherThread();
    connection->execute(QStringLiteral("CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT)"));
    const qint64 emptyFile = QFileInfo(path).size();
    auto insert = connection->prepare(QStringLiteral("INSERT INTO t (a) VALUES (?)"));
    const QString text(400, QLatin1Char('x'));
    auto write = [&](int rows) {
        for (int i = 0; i < rows; i += 10) {
            connection->begin();
            for (int j = 0; j < 10; ++j)
                insert->runTexts({text});
            connection->commit();
        }
    };
    // About 6 MB: a few times the log's checkpoint size, far below what makes
    // the writer copy the log itself. The file grows all the same.
    write(15000);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo(path).size() > emptyFile + 4 * 1024 * 1024; }, 20000));
    // 48 MB in all, about 50,000 pages of log: it never grows far beyond the
    // 32,000 pages (128 MB) the writer lets it hold.
    constexpr int rows = 120000;
    write(rows - 15000);
    EXPECT_LT(QFileInfo(path + QStringLiteral("-wal")).size(), 140 * 1024 * 1024);
    auto count = engine.open(path)->query(QStringLiteral("SELECT count(*) AS n FROM t"));
    ASSERT_TRUE(count->next());
    EXPECT_EQ(count->text(QStringLiteral("n"))->toInt(), rows);
}
