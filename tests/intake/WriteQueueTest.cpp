#include "intake/WriteQueue.h"

#include "platform/SqliteEngine.h"
#include "store/LogDatabase.h"
#include "store/SharedWriter.h"
#include "tests/support/Fakes.h"
#include "tests/support/ForwardingConnection.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// Passes everything to the real writer and records how the queue used it:
// the size of each committed transaction and the rows written outside one.
// failNextCommit makes one commit fail before it reaches the store.
class CountingWriter final : public RecordWriter {
public:
    explicit CountingWriter(RecordWriter& inner) : inner_(inner) {}
    bool isOpen() const override { return inner_.isOpen(); }
    Result<> reopen() override { ++reopens; return inner_.reopen(); }
    void close() override { inner_.close(); }
    void begin() override { inner_.begin(); inTransaction_ = 0; inside_ = true; }
    void commit() override
    {
        if (failNextCommit) {
            failNextCommit = false;
            throw DbError(u"commit refused"_s);
        }
        inner_.commit();
        transactions.push_back(inTransaction_);
        inside_ = false;
    }
    void rollback() override { ++rollbacks; inside_ = false; inner_.rollback(); }
    qint64 append(const LogRecord& record) override
    {
        const qint64 id = inner_.append(record);
        inside_ ? ++inTransaction_ : ++singleWrites;
        return id;
    }

    std::vector<int> transactions;
    int singleWrites = 0;
    int rollbacks = 0;
    int reopens = 0;
    bool failNextCommit = false;

private:
    RecordWriter& inner_;
    bool inside_ = false;
    int inTransaction_ = 0;
};

// Passes everything to another writer; tests override what should fail.
class ForwardingWriter : public RecordWriter {
public:
    explicit ForwardingWriter(RecordWriter& inner) : inner_(inner) {}
    bool isOpen() const override { return inner_.isOpen(); }
    Result<> reopen() override { return inner_.reopen(); }
    void close() override { inner_.close(); }
    void begin() override { inner_.begin(); }
    void commit() override { inner_.commit(); }
    void rollback() override { inner_.rollback(); }
    qint64 append(const LogRecord& record) override { return inner_.append(record); }

private:
    RecordWriter& inner_;
};

// Counts the connections the engine has handed out that are still open.
class CountingEngine final : public DbEngine {
public:
    explicit CountingEngine(DbEngine& inner) : inner_(inner) {}
    std::unique_ptr<DbConnection> open(const QString& path, OpenMode mode) override
    {
        return std::make_unique<Counted>(inner_.open(path, mode), live);
    }
    int live = 0;

private:
    class Counted final : public ForwardingConnection {
    public:
        Counted(std::unique_ptr<DbConnection> inner, int& live) : ForwardingConnection(std::move(inner)), live_(live)
        {
            ++live_;
        }
        ~Counted() override { --live_; }

    private:
        int& live_;
    };
    DbEngine& inner_;
};

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class WriteQueueTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(database_.ensureFileAndTodayTable()); }

    // What the datagram handler does for each accepted datagram: hand the
    // record over, then count it for this second.
    void receive(int count, const QString& message = QStringLiteral("msg"))
    {
        for (int i = 0; i < count; ++i) {
            queue_.enqueue(LogRecord(clock_.now().toString(QLatin1String(kTimeFormat)),
                                     QStringLiteral("192.168.0.%1").arg(i % 250),
                                     QStringLiteral("%1 %2").arg(message).arg(received_++)),
                           receivedThisSecond_, true);
            ++receivedThisSecond_;
        }
    }

    int rows(const QString& day = QStringLiteral("2026-12-06"))
    {
        auto cursor = database_.openConnection()->query(
            QStringLiteral("SELECT count(*) AS n FROM %1").arg(quoteName(dayTableName(day))));
        return cursor->next() ? cursor->text(u"n"_s)->toInt() : -1;
    }

    // The messages in the table in ID order.
    QStringList storedMessages()
    {
        auto cursor = database_.openConnection()->query(u"SELECT \"信息\" FROM \"syslog-2026-12-06\" ORDER BY \"ID\""_s);
        QStringList messages;
        while (cursor->next())
            messages << *cursor->text(u"信息"_s);
        return messages;
    }

    static QStringList numbered(const QString& message, int from, int to)
    {
        QStringList list;
        for (int i = from; i <= to; ++i)
            list << QStringLiteral("%1 %2").arg(message).arg(i);
        return list;
    }

    QString recoveryLog() const { return recoveryLogPathIn(dir_.path()); }

    QTemporaryDir dir_;
    FakeClock clock_;
    SqliteEngine engine_{50};
    LogDatabase database_{engine_, dir_.path(), clock_};
    CountingEngine writerEngine_{engine_};
    SharedWriter sharedWriter_{writerEngine_, database_.path(), clock_};
    CountingWriter writer_{sharedWriter_};
    FakeTimer timer_;
    qint32 receivedThisSecond_ = 0;
    WriteQueue queue_{writer_, timer_, recoveryLog(), clock_};

private:
    int received_ = 0;
};

// --- when records are written --------------------------------------------

TEST_F(WriteQueueTest, ASingleRecordOnAnIdleSystemIsWrittenAtOnceWithoutATransaction)
{
    receive(1);
    EXPECT_EQ(rows(), 1);
    EXPECT_EQ(writer_.singleWrites, 1);
    EXPECT_TRUE(writer_.transactions.empty());
    EXPECT_EQ(queue_.queuedCount(), 0);
    EXPECT_FALSE(timer_.isActive());
}

TEST_F(WriteQueueTest, FifteenInOneSecondTenAtOnceThenFiveByTheTimer)
{
    receive(15);
    EXPECT_EQ(writer_.singleWrites, 10);
    EXPECT_TRUE(writer_.transactions.empty());
    EXPECT_EQ(rows(), 10);
    EXPECT_EQ(queue_.queuedCount(), 5);
    EXPECT_TRUE(timer_.isActive());
    EXPECT_EQ(timer_.starts, 1);

    timer_.tick();
    EXPECT_EQ(writer_.transactions, std::vector<int>{5});
    EXPECT_EQ(storedMessages(), numbered(u"msg"_s, 0, 14));
    EXPECT_EQ(queue_.queuedCount(), 0);
    EXPECT_FALSE(timer_.isActive());
}

TEST_F(WriteQueueTest, ThirtyFiveInOneSecondTenSinglesTwoFullBatchesAndTheRestByTheTimer)
{
    receive(35);
    EXPECT_EQ(writer_.singleWrites, 10);
    EXPECT_EQ(writer_.transactions, (std::vector<int>{10, 10}));
    EXPECT_EQ(rows(), 30);
    EXPECT_EQ(queue_.queuedCount(), 5);
    // Started by the first record of each batch, never restarted by later ones.
    EXPECT_EQ(timer_.starts, 3);

    timer_.tick();
    EXPECT_EQ(writer_.transactions, (std::vector<int>{10, 10, 5}));
    EXPECT_EQ(storedMessages(), numbered(u"msg"_s, 0, 34));
    EXPECT_FALSE(timer_.isActive());
    EXPECT_EQ(writer_.reopens, 1); // opened once, on first use, and kept open
}

TEST_F(WriteQueueTest, ShutdownFlushWritesThreeQueuedRecords)
{
    receivedThisSecond_ = 10;
    receive(3);
    ASSERT_EQ(rows(), 0);
    ASSERT_TRUE(timer_.isActive());

    EXPECT_TRUE(queue_.flush());
    EXPECT_EQ(storedMessages(), numbered(u"msg"_s, 0, 2));
    EXPECT_EQ(writer_.transactions, std::vector<int>{3});
    EXPECT_FALSE(timer_.isActive());
    EXPECT_EQ(queue_.queuedCount(), 0);
    EXPECT_TRUE(queue_.flush()); // nothing queued is success too
}

// --- failures ------------------------------------------------------------

TEST_F(WriteQueueTest, AFailedBatchIsRolledBackRewrittenRecordByRecordAndBatchingResumesAfterASingleWrite)
{
    receivedThisSecond_ = 10;
    receive(3);
    writer_.failNextCommit = true;

    EXPECT_TRUE(queue_.flush());
    EXPECT_EQ(writer_.rollbacks, 1);
    EXPECT_EQ(storedMessages(), numbered(u"msg"_s, 0, 2)); // each once: the batch left nothing behind
    EXPECT_FALSE(queue_.batchWritesEnabled());
    EXPECT_FALSE(QFile::exists(recoveryLog()));

    receive(2); // still under load: the first is written at once and brings batching back
    EXPECT_EQ(rows(), 4);
    EXPECT_TRUE(queue_.batchWritesEnabled());
    EXPECT_EQ(queue_.queuedCount(), 1);
    EXPECT_TRUE(timer_.isActive());
}

TEST_F(WriteQueueTest, ALockedDatabaseSendsEveryRecordToTheRecoveryFileAppendedAcrossFlushes)
{
    QFile previous(recoveryLog());
    ASSERT_TRUE(previous.open(QIODevice::WriteOnly));
    previous.write("earlier line\r\n");
    previous.close();

    auto holder = database_.openConnection();
    holder->execute(u"BEGIN EXCLUSIVE"_s);

    receivedThisSecond_ = 10;
    queue_.enqueue(u"2026-12-06 13:45:10"_s, u"10.0.0.1"_s, u"first"_s, receivedThisSecond_);
    queue_.enqueue(u"2026-12-06 13:45:10"_s, u"10.0.0.2"_s, u"两行\r\nsecond line"_s, receivedThisSecond_);
    EXPECT_FALSE(queue_.flush());
    EXPECT_FALSE(queue_.batchWritesEnabled());
    EXPECT_EQ(queue_.queuedCount(), 0);
    EXPECT_FALSE(timer_.isActive());

    queue_.enqueue(u"2026-12-06 13:45:11"_s, u"10.0.0.3"_s, u"third"_s, receivedThisSecond_);
    EXPECT_EQ(readAll(recoveryLog()),
              QStringLiteral("earlier line\r\n"
                             "2026-12-06 13:45:10 IP:10.0.0.1 first\r\n"
                             "2026-12-06 13:45:10 IP:10.0.0.2 两行\\r\\nsecond line\r\n"
                             "2026-12-06 13:45:11 IP:10.0.0.3 third\r\n")
                  .toUtf8());

    holder->execute(u"COMMIT"_s);
    // The database is asked again a second after it refused.
    clock_.advanceSeconds(1);
    queue_.enqueue(u"2026-12-06 13:45:12"_s, u"10.0.0.4"_s, u"fourth"_s, receivedThisSecond_);
    EXPECT_EQ(storedMessages(), QStringList{u"fourth"_s});
    const StoreCounters& counted = queue_.counters();
    EXPECT_EQ(counted.received, 4);
    EXPECT_EQ(counted.stored, 1);
    EXPECT_EQ(counted.recovered, 3);
}

TEST_F(WriteQueueTest, WhatNeitherTheDatabaseNorTheRecoveryFileTakesIsHeldInOrderUntilAWriteSucceeds)
{
    std::vector<bool> holding;
    queue_.setOnHoldingChanged([&](bool now) { holding.push_back(now); });
    std::vector<qint64> shownIds;
    queue_.setOnSettled([&](const LogRecord& record) { shownIds.push_back(record.id); });
    ASSERT_TRUE(QDir().mkpath(recoveryLog())); // a directory where the file should be
    auto holder = database_.openConnection();
    holder->execute(u"BEGIN EXCLUSIVE"_s);

    receive(3);
    EXPECT_EQ(queue_.queuedCount(), 0);
    EXPECT_EQ(queue_.counters().held, 3);
    EXPECT_EQ(queue_.counters().lost, 0);
    EXPECT_EQ(holding, std::vector<bool>{true});
    EXPECT_FALSE(queue_.lastRecoveryFailure().isEmpty());
    EXPECT_TRUE(timer_.isActive()); // to try again

    clock_.advanceSeconds(1);
    timer_.tick(); // still refused everywhere
    holder->execute(u"COMMIT"_s);
    receive(2); // the retry waits a second: held behind the others
    EXPECT_EQ(queue_.counters().held, 5);
    EXPECT_TRUE(storedMessages().isEmpty());
    EXPECT_TRUE(shownIds.empty()); // shown once written, with their IDs

    clock_.advanceSeconds(1);
    timer_.tick();
    EXPECT_EQ(storedMessages(), numbered(u"msg"_s, 0, 4));
    EXPECT_EQ(holding, (std::vector<bool>{true, false}));
    EXPECT_EQ(shownIds, (std::vector<qint64>{1, 2, 3, 4, 5}));
    EXPECT_FALSE(timer_.isActive());
    const StoreCounters& counted = queue_.counters();
    EXPECT_EQ(counted.received, 5);
    EXPECT_EQ(counted.stored, 5);
    EXPECT_EQ(counted.held + counted.lost + counted.recovered, 0);
}

TEST_F(WriteQueueTest, HeldRecordsAreBoundedAndTheLastWriteCountsWhatStillGoesNowhereAsLost)
{
    ASSERT_TRUE(QDir().mkpath(recoveryLog()));
    auto holder = database_.openConnection();
    holder->execute(u"BEGIN EXCLUSIVE"_s);
    const QString large(60000, u'x'); // about 120 KB in memory each
    receive(300, large);
    const StoreCounters& counted = queue_.counters();
    EXPECT_LE(counted.held * 120000, WriteQueue::kHeldLimitBytes);
    EXPECT_GT(counted.held * 120000, WriteQueue::kHeldLimitBytes - 2 * 120000);
    EXPECT_EQ(counted.held + counted.lost, 300);

    queue_.close();
    EXPECT_EQ(counted.lost, 300);
    EXPECT_EQ(counted.held, 0);
    EXPECT_FALSE(queue_.isHolding());
}

// --- reopening the write path --------------------------------------------

TEST_F(WriteQueueTest, RefreshingTwiceLeavesExactlyOneOpenWriter)
{
    EXPECT_TRUE(queue_.reopenWritePath());
    EXPECT_TRUE(queue_.reopenWritePath());
    EXPECT_TRUE(sharedWriter_.isOpen());
    EXPECT_EQ(writerEngine_.live, 1);
}

TEST_F(WriteQueueTest, RefreshFlushesIntoTheOldDayBeforeMovingToTheNewOne)
{
    queue_.reopenWritePath();
    receivedThisSecond_ = 10;
    receive(3);
    clock_.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1)));
    ASSERT_TRUE(database_.ensureTodayTable());

    EXPECT_TRUE(queue_.reopenWritePath());
    EXPECT_EQ(rows(u"2026-12-06"_s), 3);
    receivedThisSecond_ = 0; // a quiet new second: written at once
    queue_.enqueue(u"2026-12-07 00:00:01"_s, u"10.0.0.9"_s, u"new day"_s, receivedThisSecond_);
    EXPECT_EQ(rows(u"2026-12-06"_s), 3);
    EXPECT_EQ(rows(u"2026-12-07"_s), 1);
}

TEST_F(WriteQueueTest, MissingTodaysTableFailsTheRefreshAndTheDatabaseIsTriedAgainASecondLater)
{
    queue_.reopenWritePath();
    clock_.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1)));

    EXPECT_FALSE(queue_.reopenWritePath());
    EXPECT_FALSE(sharedWriter_.isOpen());
    EXPECT_EQ(writerEngine_.live, 0);

    queue_.enqueue(u"2026-12-07 00:00:02"_s, u"10.0.0.1"_s, u"no table yet"_s, receivedThisSecond_);
    EXPECT_EQ(readAll(recoveryLog()), "2026-12-07 00:00:02 IP:10.0.0.1 no table yet\r\n");

    ASSERT_TRUE(database_.ensureTodayTable());
    clock_.advanceSeconds(1);
    queue_.enqueue(u"2026-12-07 00:00:03"_s, u"10.0.0.1"_s, u"table is back"_s, receivedThisSecond_);
    EXPECT_EQ(rows(u"2026-12-07"_s), 1);
}

TEST_F(WriteQueueTest, RecordsStoredBeforeAFailureAreNotWrittenToTheRecoveryFileAgain)
{
    // A batch fails, and the record-by-record rewrite fails after two rows.
    class FailingThirdAppend final : public ForwardingWriter {
    public:
        using ForwardingWriter::ForwardingWriter;
        void begin() override { throw DbError(u"database is locked"_s); }
        qint64 append(const LogRecord& record) override
        {
            if (record.message.endsWith(QLatin1String(" 2")))
                throw DbError(u"disk I/O error"_s);
            return ForwardingWriter::append(record);
        }
    };
    FailingThirdAppend failing(sharedWriter_);
    WriteQueue faulty(failing, timer_, recoveryLog(), clock_);
    for (int i = 0; i < 4; ++i)
        faulty.enqueue(clock_.now().toString(QLatin1String(kTimeFormat)), u"10.0.0.1"_s,
                       QStringLiteral("msg %1").arg(i), 10);
    EXPECT_FALSE(faulty.flush());

    EXPECT_EQ(storedMessages(), numbered(u"msg"_s, 0, 1));
    EXPECT_EQ(readAll(recoveryLog()), "2026-12-06 13:45:10 IP:10.0.0.1 msg 2\r\n"
                                      "2026-12-06 13:45:10 IP:10.0.0.1 msg 3\r\n");
    EXPECT_EQ(faulty.counters().stored, 2);
    EXPECT_EQ(faulty.counters().recovered, 2);
    EXPECT_EQ(faulty.lastFailure(), QStringLiteral("disk I/O error"));
}
