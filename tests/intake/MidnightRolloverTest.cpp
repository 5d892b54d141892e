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
        ASSERT_TRUE(dir_.isValid());
        clock_.set(QDateTime(QDate(2026, 12, 6), QTime(23, 59, 58)));
        database_.ensureFileAndTodayTable();
        intake_.setCurrentDay(QStringLiteral("2026-12-06"));
        queue_.reopenWritePath();
        writeTimer_.setOnTimeout([this] { queue_.flush(); });
    }

    void receive(const QString& text) { intake_.handleDatagram({text.toUtf8(), kSender}); }

    QTemporaryDir dir_;
    FakeClock clock_;
    SqliteEngine engine_;
    LogDatabase database_{engine_, dir_.path(), clock_};
    SharedWriter writer_{engine_, database_.path(), clock_};
    FakeTimer writeTimer_;
    WriteQueue queue_{writer_, writeTimer_, dir_.filePath(QStringLiteral("syslog_recovery.log")), clock_};
    int dayTablesCreated_ = 0;
    DatagramIntake intake_{queue_, writeTimer_, database_, clock_,
                           DatagramIntake::Events{{}, [this](const QString&) { ++dayTablesCreated_; }, {}, {}}};
};

} // namespace

TEST_F(MidnightRolloverTest, QueuedRecordsLandInThePreviousDayAndTheNewDayGetsItsTable)
{
    for (int i = 0; i < 10; ++i) // under load, so records wait in the queue
        receive(QStringLiteral("info ab")); // too short to keep, but counted
    receive(QStringLiteral("<13>info before midnight 1"));
    receive(QStringLiteral("<13>info before midnight 2"));
    ASSERT_EQ(queue_.queuedCount(), 2);
    ASSERT_TRUE(database_.loadRecentRecords(QStringLiteral("2026-12-06")).isEmpty());

    clock_.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1)));
    receive(QStringLiteral("<13>info after midnight"));
    writeTimer_.tick();

    EXPECT_EQ(database_.loadRecentRecords(QStringLiteral("2026-12-06")),
              (QStringList{QStringLiteral("2026-12-06 23:59:58 IP:192.168.1.20 before midnight 1"),
                           QStringLiteral("2026-12-06 23:59:58 IP:192.168.1.20 before midnight 2")}));
    EXPECT_EQ(database_.loadRecentRecords(QStringLiteral("2026-12-07")),
              QStringList{QStringLiteral("2026-12-07 00:00:01 IP:192.168.1.20 after midnight")});
    EXPECT_EQ(dayTablesCreated_, 1);
    EXPECT_EQ(intake_.currentDay(), QStringLiteral("2026-12-07"));
    EXPECT_FALSE(QFile::exists(queue_.recoveryLogPath()));
}

TEST_F(MidnightRolloverTest, ExistingDayTableIsUsedWithoutRefreshingTheDayList)
{
    clock_.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1)));
    database_.ensureTodayTable();
    receive(QStringLiteral("<13>info after midnight"));

    EXPECT_EQ(dayTablesCreated_, 0);
    EXPECT_EQ(intake_.currentDay(), QStringLiteral("2026-12-07"));
    EXPECT_EQ(database_.loadRecentRecords(QStringLiteral("2026-12-07")).size(), 1);
}
