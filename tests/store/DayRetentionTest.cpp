#include "store/DayRetention.h"

#include "tests/store/StoreFixture.h"

TEST_F(StoreFixture, KeepingDaysDropsOnlyDayTablesBeyondTheCleanersBoundary)
{
    // Today is 2026-12-06: keeping 30 days keeps 2026-11-06 (30 days back)
    // and drops 2026-11-05 (31 days back) and older.
    for (const char* day : {"2026-10-01", "2026-11-05", "2026-11-06", "2026-12-06", "2026-12-07"})
        createDay(QString::fromLatin1(day));
    for (const char* foreign : {"notes", "old-syslog-2026-01-01", "syslog-2026-02-30"})
        connect()->execute(QStringLiteral("CREATE TABLE \"%1\" (x TEXT)").arg(QLatin1String(foreign)));
    const auto tableNames = [this] {
        QStringList names;
        for (const TableInfo& table : connect()->tables())
            names << table.name;
        return names;
    };

    const DayDropResult result = dropDaysOlderThan(database_, 30, clock_.now().date());
    EXPECT_EQ(result.dropped, (QStringList{QStringLiteral("2026-10-01"), QStringLiteral("2026-11-05")}));
    EXPECT_TRUE(result.failures.isEmpty()) << result.failures.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(tableNames(), (QStringList{QStringLiteral("notes"), QStringLiteral("old-syslog-2026-01-01"),
                                         QStringLiteral("syslog-2026-02-30"), QStringLiteral("syslog-2026-11-06"),
                                         QStringLiteral("syslog-2026-12-06"), QStringLiteral("syslog-2026-12-07")}));

    // 0 keeps everything; the shortest keep spares today and yesterday.
    EXPECT_TRUE(dropDaysOlderThan(database_, 0, QDate(2026, 12, 7)).dropped.isEmpty());
    EXPECT_EQ(dropDaysOlderThan(database_, 1, QDate(2026, 12, 7)).dropped, QStringList{QStringLiteral("2026-11-06")});
    EXPECT_EQ(tableNames().mid(3), (QStringList{QStringLiteral("syslog-2026-12-06"), QStringLiteral("syslog-2026-12-07")}));
}

TEST_F(StoreFixture, KeepingDaysWithoutADatabaseIsAFailureNotACrash)
{
    const DayDropResult result = dropDaysOlderThan(database_, 30, clock_.now().date());
    EXPECT_TRUE(result.dropped.isEmpty());
    ASSERT_EQ(result.failures.size(), 1);
    EXPECT_TRUE(result.failures[0].contains(QStringLiteral("syslog.mdb")));
    EXPECT_FALSE(database_.fileExists());
}
