#include "intake/DatagramIntake.h"
#include "intake/SaturatingCounter.h"
#include "intake/WriteQueue.h"
#include "platform/SqliteEngine.h"
#include "platform/UdpSocket.h"
#include "store/LogDatabase.h"
#include "tests/intake/RecordingWriter.h"
#include "tests/support/Fakes.h"

#include <QFile>

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
        ASSERT_TRUE(dir_.isValid());
        database_.ensureFileAndTodayTable();
        intake_.setCurrentDay(QStringLiteral("2026-12-06"));
        ASSERT_TRUE(writer_.reopen());
        writeTimer_.setOnTimeout([this] { queue_.flush(); });
    }

    void receive(const QByteArray& bytes, const QString& ip = kSender) { intake_.handleDatagram({bytes, ip}); }
    void receive(const QString& text, const QString& ip = kSender) { receive(text.toUtf8(), ip); }

    QStringList shownLines() const { return shown_; }

    QString recoveryFile() const
    {
        QFile file(dir_.filePath(QStringLiteral("syslog_recovery.log")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    DatagramIntake::Events events()
    {
        DatagramIntake::Events events;
        events.showRecord = [this](const LogRecord& record) { shown_ << logLine(record); };
        events.dayTableCreated = [this](const QString&) { onDayTableCreated_(); };
        return events;
    }

    QTemporaryDir dir_;
    FakeClock clock_; // 2026-12-06 13:45:10
    SqliteEngine sqlite_;
    SwitchableEngine engine_{sqlite_};
    LogDatabase database_{engine_, dir_.path(), clock_};
    RecordingWriter writer_{clock_};
    FakeTimer writeTimer_;
    WriteQueue queue_{writer_, writeTimer_, dir_.filePath(QStringLiteral("syslog_recovery.log")), clock_};
    QStringList shown_;
    int dayTablesCreated_ = 0;
    std::function<void()> onDayTableCreated_ = [this] { ++dayTablesCreated_; };
    DatagramIntake intake_{queue_, writeTimer_, database_, clock_, events()};
};

} // namespace

TEST_F(DatagramIntakeTest, RejectedDatagramGoesToTheFilteredBufferOnly)
{
    receive(QStringLiteral("<13>INFO link up"), QStringLiteral("10.1.1.1"));

    EXPECT_EQ(intake_.filteredCount(), 1);
    EXPECT_EQ(intake_.receivedThisSecond(), 0);
    ASSERT_EQ(intake_.filtered().count, 1);
    EXPECT_EQ(intake_.filtered().texts[0], QStringLiteral("<13>INFO link up"));
    EXPECT_EQ(intake_.filtered().ips[0], QStringLiteral("10.1.1.1"));
    EXPECT_EQ(intake_.filtered().times[0], clock_.now());
    EXPECT_EQ(shown_.size(), 0);
    EXPECT_TRUE(writer_.rows.isEmpty());
}

TEST_F(DatagramIntakeTest, AcceptedDatagramIsTrimmedShownAndStored)
{
    receive(QStringLiteral("<13>info service started"));

    EXPECT_EQ(shownLines(), QStringList{QStringLiteral("2026-12-06 13:45:10 IP:192.168.1.20 service started")});
    ASSERT_EQ(writer_.rows.size(), 1);
    EXPECT_EQ(writer_.rows[0].record.time, QStringLiteral("2026-12-06 13:45:10"));
    EXPECT_EQ(writer_.rows[0].record.ip, kSender);
    EXPECT_EQ(writer_.rows[0].record.message, QStringLiteral("service started"));
    EXPECT_EQ(intake_.receivedThisSecond(), 1);
    EXPECT_EQ(intake_.filteredCount(), 0);
}

TEST_F(DatagramIntakeTest, TextWithoutBlankIsStoredWholeAndShortMessagesAreOnlyCounted)
{
    receive(QStringLiteral("<13>info:ok"));
    receive(QStringLiteral("<13>info ok"));
    receive(QStringLiteral("info "));

    EXPECT_EQ(writer_.messages(), QStringList{QStringLiteral("<13>info:ok")});
    EXPECT_EQ(shown_.size(), 1);
    EXPECT_EQ(intake_.receivedThisSecond(), 3);
}

TEST_F(DatagramIntakeTest, FilterOffAcceptsEverythingAndDropsAnEmptyDatagram)
{
    intake_.setFilterEnabled(0);
    receive(QStringLiteral("<13>INFO link up"));
    receive(QByteArray());

    EXPECT_EQ(writer_.messages(), QStringList{QStringLiteral("link up")});
    EXPECT_EQ(intake_.filteredCount(), 0);
    EXPECT_EQ(intake_.filtered().count, 0);
    EXPECT_EQ(intake_.receivedThisSecond(), 2);
}

TEST_F(DatagramIntakeTest, EmptyDatagramIsRejectedWhileTheFilterIsOn)
{
    receive(QByteArray());

    EXPECT_EQ(intake_.filteredCount(), 1);
    ASSERT_EQ(intake_.filtered().count, 1);
    EXPECT_TRUE(intake_.filtered().texts[0].isEmpty());
    EXPECT_EQ(intake_.receivedThisSecond(), 0);
}

TEST_F(DatagramIntakeTest, Gb18030AndBrokenBytesAreStoredReadable)
{
    QStringEncoder gb18030("GB18030");
    receive(gb18030.encode(QStringLiteral("<11>error 端口链路中断")));
    receive(QByteArray("<11>error bad \xff\xfe tail"));

    ASSERT_EQ(writer_.rows.size(), 2);
    EXPECT_EQ(writer_.rows[0].record.message, QStringLiteral("端口链路中断"));
    EXPECT_TRUE(writer_.rows[1].record.message.startsWith(QStringLiteral("bad ")));
    EXPECT_TRUE(writer_.rows[1].record.message.endsWith(QStringLiteral(" tail")));
}

TEST_F(DatagramIntakeTest, OnlyTenLinesASecondAreShownButAllAreStored)
{
    for (int i = 1; i <= 11; ++i)
        receive(QStringLiteral("info message %1").arg(i));
    writeTimer_.tick();

    EXPECT_EQ(shown_.size(), 10);
    EXPECT_TRUE(shown_[9].endsWith(QStringLiteral("message 10")));
    EXPECT_EQ(writer_.rows.size(), 11);
    EXPECT_EQ(writer_.rows.last().record.message, QStringLiteral("message 11"));
    EXPECT_EQ(intake_.receivedThisSecond(), 11);

    intake_.startNextSecond();
    receive(QStringLiteral("info message 12"));
    EXPECT_EQ(shown_.size(), 11);
}

TEST(SaturatingCounter, StopsAtItsLargestValue)
{
    qint32 counter = std::numeric_limits<qint32>::max() - 1;
    incrementSaturating(counter);
    incrementSaturating(counter);
    EXPECT_EQ(counter, std::numeric_limits<qint32>::max());
}

TEST_F(DatagramIntakeTest, SameDayNeedsNoRollover)
{
    const int reopensBefore = writer_.reopens;
    receive(QStringLiteral("info same day"));
    EXPECT_EQ(dayTablesCreated_, 0);
    EXPECT_EQ(writer_.reopens, reopensBefore);
    EXPECT_EQ(intake_.currentDay(), QStringLiteral("2026-12-06"));
}

TEST_F(DatagramIntakeTest, FailedDayTableCreationRecoversTheRecordAndRetriesLater)
{
    receive(QStringLiteral("info before midnight"));
    clock_.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1)));
    engine_.failing = true;
    receive(QStringLiteral("info after midnight"));

    // Not filed under the previous day: it waits in the recovery file.
    EXPECT_EQ(intake_.currentDay(), QStringLiteral("2026-12-06"));
    EXPECT_EQ(dayTablesCreated_, 0);
    EXPECT_EQ(writer_.messages(), QStringList{QStringLiteral("before midnight")});
    EXPECT_EQ(recoveryFile(), QStringLiteral("2026-12-07 00:00:01 IP:192.168.1.20 after midnight\r\n"));
    EXPECT_EQ(queue_.counters().recovered, 1);
    EXPECT_EQ(intake_.receivedThisSecond(), 2);

    engine_.failing = false;
    receive(QStringLiteral("info retried"));
    EXPECT_EQ(intake_.currentDay(), QStringLiteral("2026-12-07"));
    EXPECT_EQ(dayTablesCreated_, 1);
    EXPECT_TRUE(database_.tableExists(QStringLiteral("syslog-2026-12-07")));
    EXPECT_EQ(writer_.rows.last().tableDay, QStringLiteral("2026-12-07"));
}

TEST_F(DatagramIntakeTest, FailingDayListRefreshDoesNotCostTheRecord)
{
    onDayTableCreated_ = [] { throw std::runtime_error("day list unavailable"); };
    clock_.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1)));
    receive(QStringLiteral("info after midnight"));

    EXPECT_EQ(writer_.messages(), QStringList{QStringLiteral("after midnight")});
    EXPECT_EQ(intake_.receivedThisSecond(), 1);
    EXPECT_EQ(intake_.failures().count, 1);
    EXPECT_EQ(intake_.failures().last, QStringLiteral("day list unavailable"));

    onDayTableCreated_ = [this] { ++dayTablesCreated_; };
    receive(QStringLiteral("info next"));
    EXPECT_EQ(intake_.currentDay(), QStringLiteral("2026-12-07"));
    EXPECT_EQ(writer_.rows.last().tableDay, QStringLiteral("2026-12-07"));
}
