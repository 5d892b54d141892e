#include "search/LogSearch.h"
#include "tests/search/SearchTestDatabase.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

const QString kDay1 = QStringLiteral("2026-12-01");
const QString kDay2 = QStringLiteral("2026-12-02");
const QString kDay3 = QStringLiteral("2026-12-03");

LogRecord record(const QString& day, const QString& ip, const QString& message)
{
    return SearchTestDatabase::record(day, ip, message);
}

class LogSearchTest : public ::testing::Test {
protected:
    QStringList find(const QStringList& days, const QString& keyword, const QString& ip = QString())
    {
        return LogSearch(db_.database).find(days, keyword, ip);
    }
    QStringList findMessage(const QString& keyword) { return find({kDay1}, keyword); }

    SearchTestDatabase db_;
};

TEST(SearchConditionTest, TestsMessageAndAddressWithPatternsAsParameters)
{
    const SearchCondition keywordOnly = buildSearchCondition(QStringLiteral("link down"), QString());
    EXPECT_EQ(keywordOnly.text, QStringLiteral("[信息] LIKE ?"));
    EXPECT_EQ(keywordOnly.params, QStringList{QStringLiteral("%link down%")});

    const SearchCondition ipOnly = buildSearchCondition(QString(), QStringLiteral("10.0."));
    EXPECT_EQ(ipOnly.text, QStringLiteral("[IP地址] LIKE ?"));
    EXPECT_EQ(ipOnly.params, QStringList{QStringLiteral("%10.0.%")});

    const SearchCondition both = buildSearchCondition(QStringLiteral("it's"), QStringLiteral("10.0."));
    EXPECT_EQ(both.text, QStringLiteral("[信息] LIKE ? AND [IP地址] LIKE ?"));
    EXPECT_EQ(both.params, (QStringList{QStringLiteral("%it's%"), QStringLiteral("%10.0.%")}));

    // A blank is a keyword like any other: inputs are not trimmed.
    EXPECT_EQ(buildSearchCondition(QStringLiteral(" "), QString()).params, QStringList{QStringLiteral("% %")});
    EXPECT_TRUE(buildSearchCondition(QString(), QString()).text.isEmpty());
}

TEST_F(LogSearchTest, MatchesKeywordInMessageAndFragmentInAddress)
{
    db_.addDay(kDay1, {record(kDay1, QStringLiteral("10.0.0.1"), QStringLiteral("link down on 10.0.0.2")),
                       record(kDay1, QStringLiteral("10.0.0.2"), QStringLiteral("link up")),
                       record(kDay1, QStringLiteral("192.168.1.5"), QStringLiteral("LINK DOWN"))});

    // The keyword looks at the message only, case-insensitively.
    EXPECT_EQ(find({kDay1}, QStringLiteral("link down")),
              (QStringList{QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.1 link down on 10.0.0.2"),
                           QStringLiteral("2026-12-01 10:00:00 IP:192.168.1.5 LINK DOWN")}));
    // The fragment looks at the address only.
    EXPECT_EQ(find({kDay1}, QString(), QStringLiteral("0.0.2")),
              QStringList{QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.2 link up")});
    // Both must hold.
    EXPECT_EQ(find({kDay1}, QStringLiteral("down"), QStringLiteral("10.0")),
              QStringList{QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.1 link down on 10.0.0.2")});
}

TEST_F(LogSearchTest, WildcardsActAsPatterns)
{
    db_.addDay(kDay1, {record(kDay1, QStringLiteral("10.0.0.1"), QStringLiteral("disk 50% full")),
                       record(kDay1, QStringLiteral("10.0.0.1"), QStringLiteral("disk 500 used")),
                       record(kDay1, QStringLiteral("10.0.0.1"), QStringLiteral("axb")),
                       record(kDay1, QStringLiteral("10.0.0.1"), QStringLiteral("a_b"))});

    EXPECT_EQ(findMessage(QStringLiteral("a_b")).size(), 2) << "an underscore matches any one character";
    EXPECT_EQ(findMessage(QStringLiteral("disk%full")).size(), 1);
    EXPECT_EQ(findMessage(QStringLiteral("50%")).size(), 2) << "a percent sign matches any run of characters";
    EXPECT_EQ(findMessage(QStringLiteral("%")).size(), 4);
    EXPECT_EQ(find({kDay1}, QString(), QStringLiteral("10_0")).size(), 4);
}

TEST_F(LogSearchTest, QuotesSeparatorsAndBracketsAreFoundLiterally)
{
    const QStringList messages{QStringLiteral("it's down"),     QStringLiteral("run `ls`"),
                               QStringLiteral("a; b"),          QStringLiteral("x -- y"),
                               QStringLiteral("[a] (b) {c}"),   QStringLiteral("say \"hi\""),
                               QStringLiteral("back\\slash")};
    QList<LogRecord> records;
    for (const QString& message : messages)
        records << record(kDay1, QStringLiteral("10.0.0.1"), message);
    db_.addDay(kDay1, records);

    const QStringList keywords{QStringLiteral("'s"),  QStringLiteral("`ls`"), QStringLiteral("; "),
                               QStringLiteral("--"),  QStringLiteral("[a]"),  QStringLiteral("\"hi\""),
                               QStringLiteral("k\\s")};
    for (int i = 0; i < keywords.size(); ++i)
        EXPECT_EQ(findMessage(keywords[i]), QStringList{logLine(records[i])}) << keywords[i].toStdString();

    // Text that would end the statement in a hand-built query is just a keyword.
    const QString attack = QStringLiteral("x' OR 1=1; DROP TABLE \"syslog-2026-12-01\"; --");
    EXPECT_TRUE(findMessage(attack).isEmpty());
    EXPECT_TRUE(find({kDay1}, QString(), attack).isEmpty());
    EXPECT_TRUE(db_.hasDay(kDay1));
}

TEST_F(LogSearchTest, DayNameCannotChangeTheStatement)
{
    db_.addDay(kDay1, {record(kDay1, QStringLiteral("10.0.0.1"), QStringLiteral("secret"))});

    for (const QString& day : {QStringLiteral("2026-12-01\" WHERE 1=1; --"), QStringLiteral("x\"; DROP TABLE \"syslog-2026-12-01")}) {
        try {
            find({day}, QStringLiteral("secret"));
            FAIL() << "a day without a table must fail";
        } catch (const DbError& error) {
            EXPECT_TRUE(error.text().startsWith(QStringLiteral("no such table: syslog-"))) << error.what();
        }
    }
    EXPECT_TRUE(db_.hasDay(kDay1));
}

TEST_F(LogSearchTest, ReadsAtMost5000RowsPerDay)
{
    QList<LogRecord> many;
    for (int i = 0; i < LogSearch::kRowsPerDay + 3; ++i)
        many << record(kDay1, QStringLiteral("10.0.0.1"), QStringLiteral("hit %1").arg(i));
    db_.addDay(kDay1, many);
    db_.addDay(kDay2, {record(kDay2, QStringLiteral("10.0.0.1"), QStringLiteral("hit a")),
                       record(kDay2, QStringLiteral("10.0.0.1"), QStringLiteral("hit b"))});

    const QStringList lines = find({kDay1, kDay2}, QStringLiteral("hit"));
    ASSERT_EQ(lines.size(), LogSearch::kRowsPerDay + 2);
    EXPECT_TRUE(lines[LogSearch::kRowsPerDay - 1].startsWith(kDay1));
    EXPECT_TRUE(lines[LogSearch::kRowsPerDay].startsWith(kDay2));
}

TEST_F(LogSearchTest, FailingDayKeepsEarlierLinesAndStopsTheSearch)
{
    for (const QString& day : {kDay1, kDay2, kDay3})
        db_.addDay(day, {record(day, QStringLiteral("10.0.0.1"), QStringLiteral("hit"))});
    db_.dropDay(kDay2);

    QStringList lines;
    try {
        LogSearch(db_.database).run({kDay1, kDay2, kDay3}, QStringLiteral("hit"), QString(),
                                    [&](const QString& line) { lines << line; });
        FAIL() << "the dropped day must fail the search";
    } catch (const DbError& error) {
        EXPECT_EQ(error.text(), QStringLiteral("no such table: syslog-2026-12-02"));
    }
    EXPECT_EQ(lines, QStringList{QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.1 hit")});
}

TEST_F(LogSearchTest, NullFieldsGiveEmptyText)
{
    db_.addDay(kDay1);
    db_.execute(QStringLiteral("INSERT INTO \"syslog-2026-12-01\" (\"时间\",\"IP地址\",\"信息\") VALUES (NULL, NULL, 'hit')"));
    db_.execute(QStringLiteral("INSERT INTO \"syslog-2026-12-01\" (\"时间\",\"IP地址\",\"信息\") VALUES ('t', '10.1.1.1', NULL)"));

    EXPECT_EQ(findMessage(QStringLiteral("hit")), QStringList{QStringLiteral(" IP: hit")});
    EXPECT_EQ(find({kDay1}, QString(), QStringLiteral("10.1")), QStringList{QStringLiteral("t IP:10.1.1.1 ")});
}

TEST_F(LogSearchTest, MissingDatabaseFailsWithTheStoresText)
{
    EXPECT_THROW(find({}, QStringLiteral("x")), DbError);
    EXPECT_THROW(find({kDay1}, QStringLiteral("x")), DbError);
}

TEST_F(LogSearchTest, NoDaysFindsNothing)
{
    db_.createEmpty();
    EXPECT_TRUE(find({}, QStringLiteral("x")).isEmpty());
}

TEST_F(LogSearchTest, RefusesASearchWithoutCondition)
{
    db_.addDay(kDay1, {record(kDay1, QStringLiteral("10.0.0.1"), QStringLiteral("x"))});
    EXPECT_THROW(find({kDay1}, QString(), QString()), std::invalid_argument);
}

} // namespace

namespace {

LogRecord withFields(const QString& time, const QString& ip, const QString& message, int facility, int severity,
                     const QString& host, const QString& app)
{
    LogFields fields;
    fields.facility = facility;
    fields.severity = severity;
    fields.host = host;
    fields.app = app;
    fields.msgPos = 0;
    return LogRecord(time, ip, message, fields);
}

} // namespace

// Each criterion alone and combined with the keyword; a day stored before
// fields were kept matches only the criteria on what it has.
TEST_F(LogSearchTest, FieldCriteriaAndTheTimeRangeNarrowTheSearchPerDayTable)
{
    db_.addDayWithoutFields(kDay2, {record(kDay2, u"10.0.0.9"_s, u"old warning"_s)});
    db_.addDayWithFields(kDay1, {withFields(kDay1 + u" 10:00:00"_s, u"10.0.0.1"_s, u"link down"_s, 4, 2, u"router1"_s,
                                            u"ifmgr"_s),
                                 withFields(kDay1 + u" 11:00:00"_s, u"10.0.0.2"_s, u"disk ok"_s, 1, 6, u"nas"_s,
                                            u"smartd"_s),
                                 withFields(kDay1 + u" 12:00:00"_s, u"10.0.0.3"_s, u"no priority"_s, -1, -1, {}, {})});
    const auto messages = [&](const SearchQuery& query) {
        QStringList found;
        LogSearch(db_.database).run({kDay1, kDay2}, query, [&](const QString& line) {
            found << line.section(u' ', 3);
        });
        return found;
    };
    SearchQuery query;
    query.maxSeverity = 3;
    EXPECT_EQ(messages(query), QStringList{u"link down"_s});
    query.maxSeverity = 6;
    query.keyword = u"o"_s;
    EXPECT_EQ(messages(query), (QStringList{u"link down"_s, u"disk ok"_s}));

    EXPECT_EQ(messages(SearchQuery{{}, {}, -1, 1, {}, {}, {}, {}}), QStringList{u"disk ok"_s});
    EXPECT_EQ(messages(SearchQuery{{}, {}, -1, -1, u"rout"_s, {}, {}, {}}), QStringList{u"link down"_s});
    EXPECT_EQ(messages(SearchQuery{{}, {}, -1, -1, {}, u"smart"_s, {}, {}}), QStringList{u"disk ok"_s});
    EXPECT_EQ(messages(SearchQuery{{}, {}, -1, -1, {}, {}, u"2026-12-01 10:30:00"_s, u"2026-12-01 11:30:00"_s}),
              QStringList{u"disk ok"_s});
    // The arrival time is there in every table.
    EXPECT_EQ(messages(SearchQuery{{}, {}, -1, -1, {}, {}, u"2026-12-01 11:30:00"_s, {}}),
              (QStringList{u"no priority"_s, u"old warning"_s}));
    EXPECT_THROW(messages(SearchQuery{}), std::invalid_argument);
}

TEST(SearchConditionTest, TimeBoundsAreCompletedToTheStoredFormOrRefused)
{
    EXPECT_EQ(normalizedTimeBound(u"2026-12-07"_s, false), u"2026-12-07 00:00:00"_s);
    EXPECT_EQ(normalizedTimeBound(u"2026-12-07"_s, true), u"2026-12-07 23:59:59"_s);
    EXPECT_EQ(normalizedTimeBound(u" 2026-12-07 09:05 "_s, true), u"2026-12-07 09:05:59"_s);
    EXPECT_EQ(normalizedTimeBound(u"2026-12-07 09:05:07"_s, false), u"2026-12-07 09:05:07"_s);
    EXPECT_EQ(normalizedTimeBound(QString(), false), QString());
    EXPECT_EQ(normalizedTimeBound(u"2026-13-01"_s, false), std::nullopt);
    EXPECT_EQ(normalizedTimeBound(u"2026-12-07 9:05"_s, false), std::nullopt);
    EXPECT_EQ(normalizedTimeBound(u"yesterday"_s, false), std::nullopt);
}
