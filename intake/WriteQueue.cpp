#include "WriteQueue.h"

#include "Database.h"
#include "Dialogs.h"
#include "RecordWriter.h"
#include "Timer.h"

#include <QDir>
#include <QFile>
#include <QtGlobal>

namespace {

// Load above which records are collected instead of written one by one.
constexpr qint32 kLightLoadPerSecond = 10;

} // namespace

QString recoveryLogPathIn(const QString& programDir)
{
    return QDir(programDir).filePath(QStringLiteral("syslog_recovery.log"));
}

WriteQueue::WriteQueue(AppState& state, RecordWriter& writer, Timer& writeTimer, QString recoveryLogPath)
    : state_(state), writer_(writer), writeTimer_(writeTimer), recoveryLogPath_(std::move(recoveryLogPath))
{
    writeTimer_.setOnTimeout([this] { FlushWriteQueue(); });
}

bool WriteQueue::EnqueueRecord(const QString& time, const QString& ip, const QString& message)
{
    WriteQueueSlots& queue = state_.queue;
    if (queue.QueueCount >= WriteQueueSlots::Capacity)
        FlushWriteQueue();

    bool queued = false;
    if (queue.QueueCount < WriteQueueSlots::Capacity) {
        queue.QueueTime[queue.QueueCount] = time;
        queue.QueueIp[queue.QueueCount] = ip;
        queue.QueueMessage[queue.QueueCount] = message;
        ++queue.QueueCount;
        queued = true;
    }

    if (shouldFlushNow())
        FlushWriteQueue();
    else if (queue.QueueCount > 0 && !writeTimer_.isActive())
        writeTimer_.start(); // counts from the first record of a batch
    return queued;
}

// Light load, batching off, or a full queue: write now.
bool WriteQueue::shouldFlushNow() const
{
    return !state_.BatchWritesEnabled || state_.ReceivedThisSecond < kLightLoadPerSecond
        || state_.queue.QueueCount >= WriteQueueSlots::Capacity;
}

bool WriteQueue::FlushWriteQueue()
{
    if (state_.queue.QueueCount <= 0)
        return finishFlush(true);
    if (writeToDatabase())
        return finishFlush(true);
    if (rewriteRecordByRecord())
        return finishFlush(true);
    AppendQueueToRecoveryLog();
    return finishFlush(false);
}

// Empties the queue and stops the write timer; every flush ends this way.
bool WriteQueue::finishFlush(bool reachedDatabase)
{
    ClearWriteQueue();
    writeTimer_.stop();
    return reachedDatabase;
}

bool WriteQueue::writeToDatabase()
{
    try {
        if (!writer_.isOpen() && !writer_.reopen())
            return false;
        if (state_.BatchWritesEnabled && state_.queue.QueueCount > 1) {
            writeAsOneTransaction();
            return true;
        }
        return WriteQueuedRecords();
    } catch (const std::exception&) {
        return false;
    }
}

void WriteQueue::writeAsOneTransaction()
{
    writer_.begin();
    transactionOpen_ = true;
    for (int slot = 0; slot < state_.queue.QueueCount; ++slot)
        appendSlot(slot);
    writer_.commit();
    transactionOpen_ = false;
}

// After a failed write: undo the half-written batch, give up batching for good,
// reopen the write path and try the records one by one.
bool WriteQueue::rewriteRecordByRecord()
{
    if (transactionOpen_) {
        transactionOpen_ = false;
        try {
            writer_.rollback();
        } catch (const std::exception&) {
            // Reopening below closes the connection, which discards the transaction anyway.
        }
    }
    state_.BatchWritesEnabled = false;
    writer_.reopen();
    try {
        return WriteQueuedRecords();
    } catch (const std::exception&) {
        return false;
    }
}

// Rows stored before a failure stay stored.
bool WriteQueue::WriteQueuedRecords()
{
    if (!writer_.isOpen() && !writer_.reopen())
        return false;
    try {
        for (int slot = 0; slot < state_.queue.QueueCount; ++slot)
            appendSlot(slot);
    } catch (const DbError&) {
        return false;
    }
    return true;
}

void WriteQueue::appendSlot(int slot)
{
    const WriteQueueSlots& queue = state_.queue;
    writer_.append(LogRecord{queue.QueueTime[slot], queue.QueueIp[slot], queue.QueueMessage[slot]});
}

// One log line per record, UTF-8, CR LF. A message with line breaks of its own
// is written unchanged. The file is only ever appended to.
void WriteQueue::AppendQueueToRecoveryLog()
{
    const WriteQueueSlots& queue = state_.queue;
    QByteArray lines;
    for (int slot = 0; slot < queue.QueueCount; ++slot)
        lines += logLine(queue.QueueTime[slot], queue.QueueIp[slot], queue.QueueMessage[slot]).toUtf8() + "\r\n";

    QFile file(recoveryLogPath_);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(lines) == lines.size()
                      && file.flush();
    if (!written) {
        // The queue is emptied regardless; at least say what was lost and why.
        lostRecordCount_ += queue.QueueCount;
        qCritical("%d record(s) lost: neither the database nor %s would take them (%s)", int(queue.QueueCount),
                  qPrintable(QDir::toNativeSeparators(recoveryLogPath_)), qPrintable(file.errorString()));
    }
}

void WriteQueue::ClearWriteQueue()
{
    WriteQueueSlots& queue = state_.queue;
    for (int slot = 0; slot < queue.QueueCount; ++slot) {
        queue.QueueTime[slot].clear();
        queue.QueueIp[slot].clear();
        queue.QueueMessage[slot].clear();
    }
    queue.QueueCount = 0;
}

void WriteQueue::RefreshSharedConnection(Dialogs& dialogs)
{
    try {
        if (state_.queue.QueueCount > 0)
            FlushWriteQueue();
        if (writer_.reopen())
            return;
    } catch (const std::exception&) {
    }
    dialogs.message(QStringLiteral("刷新共享数据库连接错误"));
}
