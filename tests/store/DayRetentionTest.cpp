#include "DayRetention.h"

#include "StoreFixture.h"

class DayRetentionTest : public StoreFixture {
protected:
    QStringList tableNames()
    {
        QStringList names;
        for (const TableInfo& table : connect()->tables())
            names << table.name;
        return names;
    }
};

TEST_F(DayRetentionTest, DropsOnlyDayTablesBeyondTheCleanersBoundary)
{
    // Today is 2026-12-06; keeping 30 days keeps 2026-11-06 (30 days back)
    // and drops 2026-11-05 (31 days back) and older.
    for (const char* day : {"2026-10-01", "2026-11-05", "2026-11-06", "2026-12-06", "2026-12-07"})
        createDay(QString::fromLatin1(day));
    insertRows(QStringLiteral("2026-11-06"), {{QStringLiteral("2026-11-06 10:00:00"), QStringLiteral("10.0.0.1"),
                                               QStringLiteral("kept")}});
    auto connection = connect();
    connection->execute(QStringLiteral("CREATE TABLE \"notes\" (x TEXT)"));
    connection->execute(QStringLiteral("CREATE TABLE \"old-syslog-2026-01-01\" (x TEXT)"));
    connection->execute(QStringLiteral("CREATE TABLE \"syslog-2026-02-30\" (x TEXT)"));
    connection->execute(QStringLiteral("CREATE VIEW \"syslog-2026-01-02\" AS SELECT 1"));
    connection.reset();

    const DayDropResult result = dropDaysOlderThan(database, 30, clock.now().date());
    EXPECT_EQ(result.dropped, (QStringList{QStringLiteral("2026-10-01"), QStringLiteral("2026-11-05")}));
    EXPECT_TRUE(result.failures.isEmpty()) << result.failures.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(tableNames(),
              (QStringList{QStringLiteral("notes"), QStringLiteral("old-syslog-2026-01-01"),
                           QStringLiteral("syslog-2026-01-02"), QStringLiteral("syslog-2026-02-30"),
                           QStringLiteral("syslog-2026-11-06"), QStringLiteral("syslog-2026-12-06"),
                           QStringLiteral("syslog-2026-12-07")}));
    EXPECT_EQ(rowCount(QStringLiteral("2026-11-06")), 1);

    // The shortest keep still spares today and yesterday; 0 keeps everything.
    EXPECT_EQ(dropDaysOlderThan(database, 0, clock.now().date()).dropped, QStringList());
    EXPECT_EQ(dropDaysOlderThan(database, 1, QDate(2026, 12, 7)).dropped,
              (QStringList{QStringLiteral("2026-11-06")}));
    EXPECT_TRUE(tableNames().contains(QStringLiteral("syslog-2026-12-06")));
    EXPECT_TRUE(tableNames().contains(QStringLiteral("syslog-2026-12-07")));
    EXPECT_TRUE(isMoreDaysAgoThan(QStringLiteral("2026-11-05"), QDate(2026, 12, 6), 30));
    EXPECT_FALSE(isMoreDaysAgoThan(QStringLiteral("2026-11-06"), QDate(2026, 12, 6), 30));
}

TEST_F(DayRetentionTest, AMissingDatabaseIsAFailureNotACrash)
{
    const DayDropResult result = dropDaysOlderThan(database, 30, clock.now().date());
    EXPECT_TRUE(result.dropped.isEmpty());
    ASSERT_EQ(result.failures.size(), 1);
    EXPECT_TRUE(result.failures[0].contains(QStringLiteral("syslog.mdb")));
    EXPECT_FALSE(database.fileExists());
}
