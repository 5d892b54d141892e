#include "search/LogSearch.h"
#include "store/Compaction.h"
#include "store/DayRetention.h"
#include "store/SearchIndex.h"
#include "store/SearchIndexBuilder.h"
#include "tests/search/SearchTestDatabase.h"

#include <gtest/gtest.h>
#include <random>

using namespace Qt::StringLiterals;

namespace {

const QString kDay1 = u"2026-12-01"_s;
const QString kDay2 = u"2026-12-02"_s;
const QString kDay3 = u"2026-12-03"_s;
const QString kToday = u"2026-12-06"_s;

// Small blocks, so that a few thousand rows make many of them.
constexpr int kTestBlockShift = 4;

// Words of the generated messages: Latin words in any case, Chinese words,
// wildcard characters, characters LIKE reads in special ways.
const QStringList kWords = {
    u"kernel"_s, u"panic"_s, u"link"_s, u"down"_s, u"up"_s, u"interface"_s, u"error"_s, u"warning"_s,
    u"info"_s, u"磁盘"_s, u"已满"_s, u"接口"_s, u"错误"_s, u"告警"_s, u"用户"_s, u"登录"_s, u"失败"_s,
    u"50%"_s, u"a_b"_s, u"x"_s, u"q"_s, u"©"_s, u"é"_s, u"naïve"_s, u"一"_s, u"␀"_s,
    u"GigabitEthernet0/1"_s, u"sshd[123]:"_s, u"'quote'"_s, u"tab\tsep"_s, u"12"_s, u"3"_s};
const QStringList kAddresses = {u"10.0.0.1"_s, u"10.0.0.12"_s, u"192.168.1.5"_s, u"192.168.10.50"_s,
                                u"172.16.0.1"_s, u"fe80::1"_s, u"10.1.1.1%"_s, QString()};

QString randomCase(const QString& word, std::mt19937& random)
{
    QString result = word;
    for (QChar& c : result)
        if (c.isLetter() && c.unicode() < 0x80 && random() % 3 == 0)
            c = c.toUpper();
    return result;
}

QList<LogRecord> generatedRecords(const QString& day, int count, std::mt19937& random)
{
    QList<LogRecord> records;
    for (int i = 0; i < count; ++i) {
        QString message;
        const int words = 1 + int(random() % 10);
        for (int w = 0; w < words; ++w) {
            if (w > 0 && random() % 4 != 0)
                message += QLatin1Char(' ');
            message += randomCase(kWords[int(random() % kWords.size())], random);
        }
        records << LogRecord{day + u" 10:00:00"_s, kAddresses[int(random() % kAddresses.size())], message};
    }
    return records;
}

class IndexedSearchTest : public ::testing::Test {
protected:
    // What the plain query of each day gives: the search as it runs without an index.
    QStringList plainSearch(const QStringList& days, const QString& keyword, const QString& ip)
    {
        const auto connection = db_.database.openConnection();
        const SearchCondition condition = buildSearchCondition(keyword, ip);
        QStringList lines;
        for (const QString& day : days) {
            const auto rows = connection->query(daySearchSql(day, condition.text), condition.params);
            while (rows->next())
                lines << logLine(rows->text(u"时间"_s).value_or(QString()), rows->text(u"IP地址"_s).value_or(QString()),
                                 rows->text(u"信息"_s).value_or(QString()));
        }
        return lines;
    }

    void index(const QStringList& days)
    {
        SearchIndex searchIndex(db_.dir.path(), SearchIndex::Mode::Write);
        const auto connection = db_.database.openConnection();
        for (const QString& day : days)
            ASSERT_EQ(indexDayTable(*connection, dayTableName(day), searchIndex, [] { return false; }, kTestBlockShift),
                      DayIndexOutcome::Built)
                << day.toStdString();
    }

    std::optional<IndexedDay> indexed(const QString& day)
    {
        return SearchIndex(db_.dir.path(), SearchIndex::Mode::Read).day(dayTableName(day));
    }

    bool indexFits(const QString& day)
    {
        const std::optional<IndexedDay> entry = indexed(day);
        return entry && checkIndexedDay(*db_.database.openConnection(), *entry).valid;
    }

    void expectSameAsPlain(const QStringList& days, const QString& keyword, const QString& ip)
    {
        EXPECT_EQ(LogSearch(db_.database).find(days, keyword, ip), plainSearch(days, keyword, ip))
            << "keyword \"" << keyword.toStdString() << "\", address \"" << ip.toStdString() << '"';
    }

    SearchTestDatabase db_;
};

// Rows of the given bytes (hexadecimal), which LIKE reads in its own way:
// "\xE4\xB8" before "a" as U+0138, a lone continuation byte as a character of
// its value, an overlong form and U+FFFE (valid UTF-8) as U+FFFD.
void addRowsOfBytes(SearchTestDatabase& db, const QString& day, const QStringList& hexTexts)
{
    const QString table = quoteName(dayTableName(day));
    for (const QString& hex : hexTexts)
        db.execute(u"INSERT INTO %1 ([时间],[IP地址],[信息]) VALUES ('t', '10.0.0.1', CAST(X'%2' AS TEXT))"_s.arg(table, hex));
}

void addOddRows(SearchTestDatabase& db, const QString& day)
{
    db.addDay(day);
    addRowsOfBytes(db, day, {u"EFBFBE41"_s});
    std::mt19937 random(int(dateOfDayTable(dayTableName(day)).day()));
    db.append(day, generatedRecords(day, 6000, random));
    addRowsOfBytes(db, day, {u"E4B861"_s, u"FF6B65726E656C"_s, u"80"_s, u"41A9"_s, u"E4B88078"_s, u"C0AF"_s});
    const QString table = quoteName(dayTableName(day));
    db.execute(u"INSERT INTO %1 ([时间],[IP地址],[信息]) VALUES ('t', NULL, NULL)"_s.arg(table));
    db.execute(u"INSERT INTO %1 ([时间],[IP地址],[信息]) VALUES ('t', '', '')"_s.arg(table));
}

TEST_F(IndexedSearchTest, GivesExactlyThePlainQuerysLinesForEveryKindOfPattern)
{
    for (const QString& day : {kDay1, kDay2, kDay3})
        addOddRows(db_, day);
    std::mt19937 random(20261207);
    index({kDay1, kDay2, kDay3});
    // Rows added after the index was built, and a day without an index.
    db_.append(kDay3, generatedRecords(kDay3, 300, random));
    db_.addDay(kToday, generatedRecords(kToday, 500, random));
    for (const QString& day : {kDay1, kDay2, kDay3})
        ASSERT_TRUE(indexFits(day)) << day.toStdString();
    const QStringList days = {kDay1, kDay2, kDay3, kToday};

    const QStringList keywords = {
        u"kernel"_s, u"KERNEL panic"_s, u"Kernel Panic"_s, u"k"_s, u"K"_s, u"e"_s, u"x"_s, u"Q"_s, u"磁盘"_s,
        u"磁"_s, u"盘已"_s, u"接口错误"_s, u"错"_s, u"%"_s, u"_"_s, u"__"_s, u"a_b"_s, u"50%"_s, u"%%"_s,
        u"link%down"_s, u"l_nk"_s, u"d_wn%up"_s, u"GigabitEthernet0/1"_s, u"ethernet0"_s, u"sshd["_s,
        u"'quote'"_s, u"\t"_s, u" "_s, u"  "_s, u"©"_s, u"é"_s, u"naïve"_s, u"ï"_s, u"ĸa"_s, u"\u0080"_s,
        u"\u0080x"_s, u"\uFFFD"_s, u"\uFFFDa"_s, u"\uFFFE"_s, u"a©"_s, u"一"_s, u"一x"_s, u"␀"_s, u"nothing like this"_s, u"wArNiNg"_s, u"rror"_s,
        u"err%ing"_s, u"%_%_%"_s, u"a%b%c"_s, u"0/1 "_s, u"1"_s, u"12"_s, u"123"_s, u"kern"_s + QChar(0) + u"zzz"_s};
    for (const QString& keyword : keywords)
        expectSameAsPlain(days, keyword, QString());
    const QStringList fragments = {u"10.0.0.1"_s, u"0.1"_s, u"1"_s, u"192.168."_s, u"_"_s, u"%"_s, u"10_0"_s,
                                   u"172.16.0.1"_s, u"0.12"_s, u"fe80"_s, u":"_s, u"1%"_s, u"nowhere"_s};
    for (const QString& fragment : fragments)
        expectSameAsPlain(days, QString(), fragment);
    expectSameAsPlain(days, u"kernel"_s, u"10.0.0.1"_s);
    expectSameAsPlain(days, u"磁盘"_s, u"192.168"_s);
    expectSameAsPlain(days, u"%"_s, u"1"_s);
    expectSameAsPlain(days, u"x"_s, u"nowhere"_s);

    // A further condition per day applies to the rows the index leaves, as to every row of a plain query.
    SearchRequest request{u"e"_s, QString(), [](DbConnection&, const QString& day) {
                              return std::optional<SearchCondition>(
                                  {u"[IP地址] <> ? AND rowid % 3 = 0"_s, {day == kDay2 ? u"10.0.0.1"_s : QString()}});
                          }};
    for (const QString& keyword : {u"e"_s, u"kernel"_s, QString()}) {
        request.keyword = keyword;
        QStringList lines;
        QStringList recordLines; // the same rows as records, read with their fields
        LogSearch::Progress progress;
        progress.onLine = [&lines](const QString& line) { lines << line; };
        progress.onRecord = [&recordLines](const LogRecord& record) { recordLines << logLine(record); };
        LogSearch(db_.database).run(days, request, progress);
        QStringList plain;
        const auto connection = db_.database.openConnection();
        for (const QString& day : days) {
            SearchCondition condition = buildSearchCondition(keyword, QString());
            const SearchCondition more = *request.dayCondition(*connection, day);
            condition.text += (condition.text.isEmpty() ? u"("_s : u" AND ("_s) + more.text + u')';
            condition.params += more.params;
            const auto rows = connection->query(daySearchSql(day, condition.text), condition.params);
            while (rows->next())
                plain << logLine(QString::fromUtf8(rows->utf8(0)), QString::fromUtf8(rows->utf8(1)),
                                 QString::fromUtf8(rows->utf8(2)));
        }
        EXPECT_EQ(lines, plain) << keyword.toStdString();
        EXPECT_EQ(recordLines, plain) << keyword.toStdString();
        EXPECT_FALSE(lines.isEmpty());
    }

    // The index, not a pass over every row, answered for the closed days: a
    // message changed in place after indexing is not looked at there.
    db_.execute(u"UPDATE %1 SET [信息] = 'zzzchanged' WHERE rowid = 100"_s.arg(quoteName(dayTableName(kDay1))));
    EXPECT_EQ(plainSearch({kDay1}, u"zzzchanged"_s, QString()).size(), 1);
    EXPECT_TRUE(LogSearch(db_.database).find({kDay1}, u"zzzchanged"_s, QString()).isEmpty());
}

TEST_F(IndexedSearchTest, AStopEndsARunningStatement)
{
    QList<LogRecord> records;
    for (int i = 0; i < 30000; ++i)
        records << SearchTestDatabase::record(kToday, u"10.0.0.1"_s, u"filler %1"_s.arg(i));
    records << SearchTestDatabase::record(kToday, u"10.0.0.1"_s, u"needle"_s);
    db_.addDay(kToday, records);

    int looks = 0;
    QStringList lines;
    LogSearch::Progress progress;
    progress.onLine = [&](const QString& line) { lines << line; };
    progress.shouldStop = [&] { return ++looks >= 3; };
    EXPECT_EQ(LogSearch(db_.database).run({kToday}, SearchRequest{u"needle"_s, QString(), {}}, progress),
              LogSearch::Outcome::Stopped);
    // The statement ended before it reached the last row, long before the
    // hundreds of looks a pass over every row would have taken.
    EXPECT_TRUE(lines.isEmpty());
    EXPECT_LE(looks, 5);
}

TEST_F(IndexedSearchTest, DroppedAndCompactedDaysKeepTheIndexTrue)
{
    std::mt19937 random(7);
    db_.addDay(kDay1, generatedRecords(kDay1, 2000, random));
    db_.addDay(kDay3, generatedRecords(kDay3, 2000, random));
    // A table whose rowid is not its key: compaction may renumber it.
    db_.execute(u"CREATE TABLE %1 ([时间] TEXT, [IP地址] TEXT, [信息] TEXT)"_s.arg(quoteName(dayTableName(kDay2))));
    db_.append(kDay2, generatedRecords(kDay2, 2000, random));
    index({kDay1, kDay2, kDay3});

    ASSERT_EQ(dropDayTables(db_.database, {kDay1}).dropped, QStringList{kDay1});
    EXPECT_FALSE(indexed(kDay1));
    // A new table of the dropped day is read as it is.
    db_.addDay(kDay1, {SearchTestDatabase::record(kDay1, u"10.9.9.9"_s, u"kernel again"_s)});
    EXPECT_EQ(LogSearch(db_.database).find({kDay1}, u"kernel"_s, QString()),
              QStringList{u"2026-12-01 10:00:00 IP:10.9.9.9 kernel again"_s});

    ASSERT_EQ(*compactDatabaseFile(db_.engine, db_.database.path(), db_.dir.path()), Compacted::Replaced);
    EXPECT_FALSE(indexed(kDay2));
    // Compaction keeps the rowids of the day tables: their index still fits.
    EXPECT_TRUE(indexFits(kDay3));
    for (const QString& keyword : {u"kernel"_s, u"磁盘"_s, u"l_nk"_s, u"q"_s})
        expectSameAsPlain({kDay1, kDay2, kDay3}, keyword, QString());
    expectSameAsPlain({kDay1, kDay2, kDay3}, QString(), u"10.0.0.1"_s);
}

} // namespace
