#pragma once

#include "AppState.h"
#include "LogRecord.h"

#include <QString>

class Dialogs;
class RecordWriter;
class Timer;

// The recovery file in a program directory: "syslog_recovery.log".
QString recoveryLogPathIn(const QString& programDir);

// Carries accepted records to the day's table. Under light load each record is
// written at once; under load (ten or more accepted datagrams since the last
// one-second tick) up to ten records are written in one transaction, when ten
// are queued or when the 100 ms write timer fires, whichever comes first. A
// failed batch is written again record by record and batching stays off from
// then on; what the database refuses goes to syslog_recovery.log.
class WriteQueue {
public:
    // writeTimer: the 100 ms write timer; the queue routes its ticks to
    // FlushWriteQueue() itself.
    WriteQueue(AppState& state, RecordWriter& writer, Timer& writeTimer, QString recoveryLogPath);

    // Queues one record and writes the queue when the load calls for it.
    // False only when the record could not be queued.
    bool EnqueueRecord(const QString& time, const QString& ip, const QString& message);
    // Writes every queued record; true when they reached the database (or none
    // were queued), false when they went to the recovery file.
    bool FlushWriteQueue();
    // Flushes what is queued, then reopens the write path on today's table;
    // shows "刷新共享数据库连接错误" when the reopen fails.
    void RefreshSharedConnection(Dialogs& dialogs);

    QString recoveryLogPath() const { return recoveryLogPath_; }
    // Records that neither the database nor the recovery file would take.
    qint64 lostRecordCount() const { return lostRecordCount_; }

private:
    bool WriteQueuedRecords();
    void AppendQueueToRecoveryLog();
    void ClearWriteQueue();
    void writeAsOneTransaction();
    bool writeToDatabase();
    bool rewriteRecordByRecord();
    bool finishFlush(bool reachedDatabase);
    void appendSlot(int slot);
    bool shouldFlushNow() const;

    AppState& state_;
    RecordWriter& writer_;
    Timer& writeTimer_;
    QString recoveryLogPath_;
    bool transactionOpen_ = false;
    qint64 lostRecordCount_ = 0;
};
