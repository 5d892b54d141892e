#pragma once

#include "store/LogRecord.h"

#include <QString>
#include <array>
#include <deque>
#include <functional>
#include <span>

class Clock;
class RecordWriter;
class Timer;

// The recovery file in a data directory: "syslog_recovery.log".
QString recoveryLogPathIn(const QString& dataDir);

// One record as a line of the recovery file: the log line, with the line
// breaks inside it written as the two characters \r and \n, so that every
// record stays one line.
QString recoveryLogLine(const QString& time, const QString& ip, const QString& message);

// What became of the records handed to the queue since it was made. Every
// record is counted once: received = stored + recovered + lost + held + still
// queued.
struct StoreCounters {
    qint64 received = 0;
    qint64 stored = 0;
    qint64 recovered = 0;
    qint64 lost = 0;
    // Kept in memory just now: neither the database nor the recovery file took them.
    qint64 held = 0;
};

// Carries accepted records to the day's table. Under light load each record is
// written at once; under load (ten or more accepted datagrams since the last
// one-second tick) up to ten records are written in one transaction, when ten
// are queued or when the 100 ms write timer fires, whichever comes first. A
// failed batch is written again record by record, and batching stays off until
// a record-by-record write succeeds. What the database refuses goes to
// syslog_recovery.log; while it keeps refusing, the database is tried again
// once a second and the records in between go straight to the recovery file,
// so a locked database never holds up intake.
//
// When the recovery file refuses them as well (a full disk), the records are
// held in memory, in order, and the queue is holding: the write path is tried
// again once a second (the write timer keeps running for it), every record
// handed in meanwhile is held behind them, and the first write that succeeds
// writes the held records first. What is held is bounded (kHeldLimitBytes);
// a record beyond it is lost and counted. Whoever feeds the queue from a
// source that can wait (TCP) stops reading while it is holding.
class WriteQueue {
public:
    static constexpr int kCapacity = 10;
    // How long after a refused write records go straight to the recovery file.
    static constexpr qint64 kRetryAfterMs = 1000;
    // The most the held records may take in memory (their texts, UTF-16).
    static constexpr qint64 kHeldLimitBytes = 32 * 1024 * 1024;

    // writeTimer: the 100 ms write timer; the queue routes its ticks to
    // flush() itself.
    WriteQueue(RecordWriter& writer, Timer& writeTimer, QString recoveryLogPath, const Clock& clock);

    // Queues one record and writes the queue when the load calls for it.
    // receivedThisSecond: accepted datagrams since the last one-second tick.
    // False only when the record could not be queued.
    // show: the record is passed to the callback of setOnSettled() once it
    // was written (with its ID) or went to the recovery file (without one).
    bool enqueue(LogRecord&& record, qint32 receivedThisSecond, bool show = false);
    // The same for a record without fields.
    bool enqueue(const QString& time, const QString& ip, const QString& message, qint32 receivedThisSecond)
    {
        return enqueue(LogRecord{time, ip, message, {}}, receivedThisSecond);
    }
    // Writes every queued record; true when they reached the database (or none
    // were queued), false when any went to the recovery file.
    bool flush();
    // Flushes what is queued, then reopens the write path on today's table.
    // False when the reopen fails.
    bool reopenWritePath();
    // Writes one record straight to the recovery file: it has no table to go
    // to, for the reason given. Held like any other when the file refuses it.
    void recoverRecord(const LogRecord& record, const QString& reason, bool show = false);
    // Called with each record enqueued to be shown once it has settled: when
    // it was written or went to the recovery file, also after being held. A
    // record lost is not shown.
    void setOnSettled(std::function<void(const LogRecord& record)> onSettled) { onSettled_ = std::move(onSettled); }
    // The last write: what is queued and held is tried once more, whatever
    // the wait, and what neither the database nor the recovery file takes is
    // counted lost.
    void close();

    // Neither the database nor the recovery file takes records: some are held.
    bool isHolding() const { return !held_.empty(); }
    // Called with true when the queue starts holding and with false when the
    // held records are written.
    void setOnHoldingChanged(std::function<void(bool holding)> onHoldingChanged)
    {
        onHoldingChanged_ = std::move(onHoldingChanged);
    }

    qint32 queuedCount() const { return queuedCount_; }
    bool batchWritesEnabled() const { return batchWritesEnabled_; }
    QString recoveryLogPath() const { return recoveryLogPath_; }
    const StoreCounters& counters() const { return counters_; }
    // Why the last record that missed the database missed it.
    QString lastFailure() const { return lastFailure_; }
    // Why the recovery file last refused records ("path: reason").
    QString lastRecoveryFailure() const { return lastRecoveryFailure_; }

private:
    struct HeldRecord {
        LogRecord record;
        // It has no table to go to: only the recovery file takes it.
        bool tableless = false;
        bool show = false;
    };

    bool writeQueuedRecords();
    // The write path is open, or reopens; false, with the reason noted, when it does not.
    bool openWritePath();
    bool reopenWriter();
    bool appendQueueToRecoveryLog();
    bool appendLines(const QByteArray& lines, qint64 records);
    void hold(LogRecord record, bool tableless, bool show);
    void holdQueue();
    bool writeHeld();
    bool storeHeld(std::size_t count);
    bool recoverHeld(std::size_t count);
    // Drops the first count held records; settled: they were written, and
    // those to be shown are passed on.
    void releaseHeld(std::size_t count, bool settled);
    void tellHolding();
    void clearQueue();
    void writeAsOneTransaction();
    bool writeToDatabase();
    bool rewriteRecordByRecord();
    bool finishFlush(bool reachedDatabase);
    void rollBackOpenTransaction();
    bool shouldFlushNow(qint32 receivedThisSecond) const;
    bool waitingBeforeRetry() const;
    void noteRefusal(const QString& reason);

    RecordWriter& writer_;
    Timer& writeTimer_;
    QString recoveryLogPath_;
    const Clock& clock_;

    std::array<LogRecord, kCapacity> records_;
    std::array<bool, kCapacity> shown_{};
    std::function<void(const LogRecord& record)> onSettled_;
    qint32 queuedCount_ = 0;
    // Slots before this one are already in the table.
    qint32 firstUnwritten_ = 0;
    bool batchWritesEnabled_ = true;
    bool transactionOpen_ = false;
    // While set, the database refused a write and is not asked again before this time.
    qint64 retryAtMs_ = 0;
    std::deque<HeldRecord> held_;
    qint64 heldBytes_ = 0;
    bool toldHolding_ = false;
    std::function<void(bool holding)> onHoldingChanged_;
    StoreCounters counters_;
    QString lastFailure_;
    QString lastRecoveryFailure_;
};
