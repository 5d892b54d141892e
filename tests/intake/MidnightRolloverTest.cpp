#include "intake/DatagramIntake.h"
#include "intake/WriteQueue.h"
#include "platform/SqliteEngine.h"
#include "platform/UdpSocket.h"
#include "store/LogDatabase.h"
#include "store/SharedWriter.h"
#include "tests/support/Fakes.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

const QString kSender = QStringLiteral("192.168.1.20");

// The intake over the real write queue and the real store, with the clock
// stepped across midnight by hand.
class MidnightRolloverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        clock.set(QDateTime(QDate(2026, 12, 6), QTime(23, 59, 58)));
        database.ensureFileAndTodayTable();
        intake.setCurrentDay(QStringLiteral("2026-12-06"));
        queue.reopenWritePath();
        writeTimer.setOnTimeout([this] { queue.flush(); });
    }

    void receive(const QString& text) { intake.handleDatagram({text.toUtf8(), kSender}); }

    QTemporaryDir dir;
    FakeClock clock;
    SqliteEngine engine;
    LogDatabase database{engine, dir.path(), clock};
    SharedWriter writer{engine, database.path(), clock};
    FakeTimer writeTimer;
    WriteQueue queue{writer, writeTimer, dir.filePath(QStringLiteral("syslog_recovery.log")), clock};
    int dayTablesCreated = 0;
    DatagramIntake intake{queue, writeTimer, database, clock,
                          DatagramIntake::Events{{}, [this](const QString&) { ++dayTablesCreated; }, {}, {}}};
};

} // namespace

TEST_F(MidnightRolloverTest, QueuedRecordsLandInThePreviousDayAndTheNewDayGetsItsTable)
{
    for (int i = 0; i < 10; ++i) // under load, so records wait in the queue
        receive(QStringLiteral("info ab")); // too short to keep, but counted
    receive(QStringLiteral("<13>info before midnight 1"));
    receive(QStringLiteral("<13>info before midnight 2"));
    ASSERT_EQ(queue.queuedCount(), 2);
    ASSERT_TRUE(database.loadRecentRecords(QStringLiteral("2026-12-06")).isEmpty());

    clock.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1)));
    receive(QStringLiteral("<13>info after midnight"));
    writeTimer.tick();

    EXPECT_EQ(database.loadRecentRecords(QStringLiteral("2026-12-06")),
              (QStringList{QStringLiteral("2026-12-06 23:59:58 IP:192.168.1.20 before midnight 1"),
                           QStringLiteral("2026-12-06 23:59:58 IP:192.168.1.20 before midnight 2")}));
    EXPECT_EQ(database.loadRecentRecords(QStringLiteral("2026-12-07")),
              QStringList{QStringLiteral("2026-12-07 00:00:01 IP:192.168.1.20 after midnight")});
    EXPECT_EQ(dayTablesCreated, 1);
    EXPECT_EQ(intake.currentDay(), QStringLiteral("2026-12-07"));
    EXPECT_FALSE(QFile::exists(queue.recoveryLogPath()));
}

TEST_F(MidnightRolloverTest, ExistingDayTableIsUsedWithoutRefreshingTheDayList)
{
    clock.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1)));
    database.ensureTodayTable();
    receive(QStringLiteral("<13>info after midnight"));

    EXPECT_EQ(dayTablesCreated, 0);
    EXPECT_EQ(intake.currentDay(), QStringLiteral("2026-12-07"));
    EXPECT_EQ(database.loadRecentRecords(QStringLiteral("2026-12-07")).size(), 1);
}
