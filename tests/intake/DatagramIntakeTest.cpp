#include "DatagramIntake.h"
#include "ExtentListWidget.h"
#include "Fakes.h"
#include "LogDatabase.h"
#include "RecordingWriter.h"
#include "SqliteEngine.h"
#include "UdpSocket.h"
#include "WriteQueue.h"

#include <QStringEncoder>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <limits>
#include <stdexcept>

namespace {

const QString kSender = QStringLiteral("192.168.1.20");

class DatagramIntakeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        database.EnsureLogDatabase();
        state.CurrentDay = QStringLiteral("2026-12-06");
        writer.reopen();
        writeTimer.setOnTimeout([this] { queue.FlushWriteQueue(); });
    }

    void receive(const QByteArray& bytes, const QString& ip = kSender) { intake.udpWinscok_DataArrival({bytes, ip}); }
    void receive(const QString& text, const QString& ip = kSender) { receive(text.toUtf8(), ip); }

    QStringList shownLines() const
    {
        QStringList lines;
        for (int row = 0; row < mainList.count(); ++row)
            lines << mainList.item(row)->text();
        return lines;
    }

    QTemporaryDir dir;
    FakeClock clock; // 2026-12-06 13:45:10
    AppState state;
    SqliteEngine sqlite;
    SwitchableEngine engine{sqlite};
    LogDatabase database{engine, dir.path(), clock};
    RecordingWriter writer{clock};
    FakeTimer writeTimer;
    WriteQueue queue{state, writer, writeTimer, dir.filePath(QStringLiteral("syslog_recovery.log"))};
    ExtentListWidget mainList;
    FakeDialogs dialogs;
    int dayTablesCreated = 0;
    std::function<void()> onDayTableCreated = [this] { ++dayTablesCreated; };
    DatagramIntake intake{state, mainList, queue, writeTimer, database, dialogs, clock, [this] { onDayTableCreated(); }};
};

} // namespace

TEST_F(DatagramIntakeTest, RejectedDatagramGoesToTheFilteredBufferOnly)
{
    receive(QStringLiteral("<13>INFO link up"), QStringLiteral("10.1.1.1"));

    EXPECT_EQ(state.FilteredCount, 1);
    EXPECT_EQ(state.ReceivedThisSecond, 0);
    ASSERT_EQ(state.filtered.FilteredBufferCount, 1);
    EXPECT_EQ(state.filtered.FilteredMessage[0], QStringLiteral("<13>INFO link up"));
    EXPECT_EQ(state.filtered.FilteredIp[0], QStringLiteral("10.1.1.1"));
    EXPECT_EQ(state.filtered.FilteredTime[0], clock.now());
    EXPECT_EQ(mainList.count(), 0);
    EXPECT_TRUE(writer.rows.isEmpty());
}

TEST_F(DatagramIntakeTest, AcceptedDatagramIsTrimmedShownAndStored)
{
    receive(QStringLiteral("<13>info service started"));

    EXPECT_EQ(shownLines(), QStringList{QStringLiteral("2026-12-06 13:45:10 IP:192.168.1.20 service started")});
    EXPECT_EQ(mainList.currentRow(), 0);
    ASSERT_EQ(writer.rows.size(), 1);
    EXPECT_EQ(writer.rows[0].record.time, QStringLiteral("2026-12-06 13:45:10"));
    EXPECT_EQ(writer.rows[0].record.ip, kSender);
    EXPECT_EQ(writer.rows[0].record.message, QStringLiteral("service started"));
    EXPECT_EQ(state.ReceivedThisSecond, 1);
    EXPECT_EQ(state.FilteredCount, 0);
}

TEST_F(DatagramIntakeTest, TextWithoutBlankIsStoredWholeAndShortMessagesAreOnlyCounted)
{
    receive(QStringLiteral("<13>info:ok"));
    receive(QStringLiteral("<13>info ok"));
    receive(QStringLiteral("info "));

    EXPECT_EQ(writer.messages(), QStringList{QStringLiteral("<13>info:ok")});
    EXPECT_EQ(mainList.count(), 1);
    EXPECT_EQ(state.ReceivedThisSecond, 3);
}

TEST_F(DatagramIntakeTest, FilterOffAcceptsEverythingAndDropsAnEmptyDatagram)
{
    state.FilterEnabled = 0;
    receive(QStringLiteral("<13>INFO link up"));
    receive(QByteArray());

    EXPECT_EQ(writer.messages(), QStringList{QStringLiteral("link up")});
    EXPECT_EQ(state.FilteredCount, 0);
    EXPECT_EQ(state.filtered.FilteredBufferCount, 0);
    EXPECT_EQ(state.ReceivedThisSecond, 2);
}

TEST_F(DatagramIntakeTest, EmptyDatagramIsRejectedWhileTheFilterIsOn)
{
    receive(QByteArray());

    EXPECT_EQ(state.FilteredCount, 1);
    ASSERT_EQ(state.filtered.FilteredBufferCount, 1);
    EXPECT_TRUE(state.filtered.FilteredMessage[0].isEmpty());
    EXPECT_EQ(state.ReceivedThisSecond, 0);
}

TEST_F(DatagramIntakeTest, Gb18030AndBrokenBytesAreStoredReadable)
{
    QStringEncoder gb18030("GB18030");
    receive(gb18030.encode(QStringLiteral("<11>error 端口链路中断")));
    receive(QByteArray("<11>error bad \xff\xfe tail"));

    ASSERT_EQ(writer.rows.size(), 2);
    EXPECT_EQ(writer.rows[0].record.message, QStringLiteral("端口链路中断"));
    EXPECT_TRUE(writer.rows[1].record.message.startsWith(QStringLiteral("bad ")));
    EXPECT_TRUE(writer.rows[1].record.message.endsWith(QStringLiteral(" tail")));
}

TEST_F(DatagramIntakeTest, OnlyTenLinesASecondAreShownButAllAreStored)
{
    for (int i = 1; i <= 11; ++i)
        receive(QStringLiteral("info message %1").arg(i));
    writeTimer.tick();

    EXPECT_EQ(mainList.count(), 10);
    EXPECT_TRUE(mainList.item(9)->text().endsWith(QStringLiteral("message 10")));
    EXPECT_EQ(writer.rows.size(), 11);
    EXPECT_EQ(writer.rows.last().record.message, QStringLiteral("message 11"));
    EXPECT_EQ(state.ReceivedThisSecond, 11);

    state.ReceivedThisSecond = 0; // the one-second tick
    receive(QStringLiteral("info message 12"));
    EXPECT_EQ(mainList.count(), 11);
    EXPECT_EQ(mainList.currentRow(), 10);
}

TEST_F(DatagramIntakeTest, FullListDropsItsOldestLine)
{
    for (int i = 0; i < DatagramIntake::kMaxListLines; ++i)
        mainList.addItem(QStringLiteral("old %1").arg(i));

    receive(QStringLiteral("info newest"));

    ASSERT_EQ(mainList.count(), 500);
    EXPECT_EQ(mainList.item(0)->text(), QStringLiteral("old 1"));
    EXPECT_TRUE(mainList.item(499)->text().endsWith(QStringLiteral("newest")));
    EXPECT_EQ(mainList.currentRow(), 499);
}

TEST_F(DatagramIntakeTest, ScrollRangeFollowsTheWidestShownLine)
{
    receive(QStringLiteral("info a-long-message-text"));
    const QString firstLine = mainList.item(0)->text();
    EXPECT_EQ(state.WidestLine, firstLine.size());
    EXPECT_EQ(mainList.horizontalExtent(), firstLine.size() * 7 + 20);
    EXPECT_TRUE(mainList.hasHorizontalScrollBar());

    receive(QStringLiteral("info short"));
    EXPECT_EQ(state.WidestLine, firstLine.size());
    EXPECT_EQ(mainList.horizontalExtent(), firstLine.size() * 7 + 20);
}

TEST(ListHorizontalExtent, IgnoresNothingToShowAndNeverOverflows)
{
    AppState state;
    ExtentListWidget list;
    FakeClock clock;
    RecordingWriter writer(clock);
    FakeTimer timer;
    WriteQueue queue(state, writer, timer, QString());
    SqliteEngine engine;
    LogDatabase database(engine, QString(), clock);
    FakeDialogs dialogs;
    DatagramIntake intake(state, list, queue, timer, database, dialogs, clock, {});

    intake.SetListHorizontalExtent(0);
    intake.SetListHorizontalExtent(-5);
    EXPECT_EQ(list.horizontalExtent(), 0);
    EXPECT_FALSE(list.hasHorizontalScrollBar());

    intake.SetListHorizontalExtent(40);
    EXPECT_EQ(list.horizontalExtent(), 300);
    intake.SetListHorizontalExtent(std::numeric_limits<qint32>::max());
    EXPECT_GT(list.horizontalExtent(), 300);
}

TEST_F(DatagramIntakeTest, CountersStopAtTheirLargestValue)
{
    constexpr qint32 largest = std::numeric_limits<qint32>::max();
    state.FilteredCount = largest;
    state.ReceivedThisSecond = largest;
    receive(QStringLiteral("link up"));
    receive(QStringLiteral("info kept anyway"));

    EXPECT_EQ(state.FilteredCount, largest);
    EXPECT_EQ(state.ReceivedThisSecond, largest);
    EXPECT_EQ(state.filtered.FilteredBufferCount, 1);
    writeTimer.tick();
    EXPECT_EQ(writer.messages(), QStringList{QStringLiteral("kept anyway")});
}

TEST_F(DatagramIntakeTest, SameDayNeedsNoRollover)
{
    const int reopensBefore = writer.reopens;
    receive(QStringLiteral("info same day"));
    EXPECT_EQ(dayTablesCreated, 0);
    EXPECT_EQ(writer.reopens, reopensBefore);
    EXPECT_EQ(state.CurrentDay, QStringLiteral("2026-12-06"));
}

TEST_F(DatagramIntakeTest, FailedDayTableCreationKeepsTheRecordAndRetriesLater)
{
    clock.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1)));
    engine.failing = true;
    receive(QStringLiteral("info after midnight"));

    EXPECT_EQ(state.CurrentDay, QStringLiteral("2026-12-06"));
    EXPECT_EQ(dayTablesCreated, 0);
    EXPECT_EQ(writer.messages(), QStringList{QStringLiteral("after midnight")});
    EXPECT_EQ(state.ReceivedThisSecond, 1);

    engine.failing = false;
    receive(QStringLiteral("info retried"));
    EXPECT_EQ(state.CurrentDay, QStringLiteral("2026-12-07"));
    EXPECT_EQ(dayTablesCreated, 1);
    EXPECT_TRUE(database.TableExists(QStringLiteral("syslog-2026-12-07")));
    EXPECT_EQ(writer.rows.last().tableDay, QStringLiteral("2026-12-07"));
}

TEST_F(DatagramIntakeTest, FailingDayListRefreshDoesNotCostTheRecord)
{
    onDayTableCreated = [] { throw std::runtime_error("day list unavailable"); };
    clock.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1)));
    receive(QStringLiteral("info after midnight"));

    EXPECT_EQ(writer.messages(), QStringList{QStringLiteral("after midnight")});
    EXPECT_EQ(state.ReceivedThisSecond, 1);

    onDayTableCreated = [this] { ++dayTablesCreated; };
    receive(QStringLiteral("info next"));
    EXPECT_EQ(state.CurrentDay, QStringLiteral("2026-12-07"));
    EXPECT_EQ(writer.rows.last().tableDay, QStringLiteral("2026-12-07"));
}
