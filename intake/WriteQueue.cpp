#include "intake/WriteQueue.h"

#include "platform/AppendFile.h"
#include "platform/Clock.h"
#include "platform/Database.h"
#include "platform/Timer.h"
#include "store/RecordWriter.h"

#include <QDir>
#include <QtGlobal>

namespace {

// Load above which records are collected instead of written one by one.
constexpr qint32 kLightLoadPerSecond = 10;

} // namespace

QString recoveryLogPathIn(const QString& dataDir)
{
    return QDir(dataDir).filePath(QStringLiteral("syslog_recovery.log"));
}

QString recoveryLogLine(const QString& time, const QString& ip, const QString& message)
{
    QString line = logLine(time, ip, message);
    if (line.contains(QLatin1Char('\r')) || line.contains(QLatin1Char('\n'))) {
        line.replace(QLatin1Char('\r'), QLatin1String("\\r"));
        line.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    }
    return line;
}

WriteQueue::WriteQueue(RecordWriter& writer, Timer& writeTimer, QString recoveryLogPath, const Clock& clock)
    : writer_(writer), writeTimer_(writeTimer), recoveryLogPath_(std::move(recoveryLogPath)), clock_(clock)
{
    writeTimer_.setOnTimeout([this] { flush(); });
}

bool WriteQueue::enqueue(LogRecord record, qint32 receivedThisSecond, bool show)
{
    if (queuedCount_ >= kCapacity)
        flush();

    bool queued = false;
    if (queuedCount_ < kCapacity) {
        records_[queuedCount_] = std::move(record);
        shown_[queuedCount_] = show;
        ++queuedCount_;
        ++counters_.received;
        queued = true;
    }

    if (shouldFlushNow(receivedThisSecond))
        flush();
    else if (queuedCount_ > 0 && !writeTimer_.isActive())
        writeTimer_.start(); // counts from the first record of a batch
    return queued;
}

// Light load, batching off, or a full queue: write now.
bool WriteQueue::shouldFlushNow(qint32 receivedThisSecond) const
{
    return !batchWritesEnabled_ || receivedThisSecond < kLightLoadPerSecond || queuedCount_ >= kCapacity;
}

bool WriteQueue::flush()
{
    if (queuedCount_ <= 0)
        return finishFlush(true);
    if (!waitingBeforeRetry()) {
        if (writeToDatabase() || rewriteRecordByRecord()) {
            retryAtMs_ = 0;
            return finishFlush(true);
        }
        retryAtMs_ = clock_.currentMSecsSinceEpoch() + kRetryAfterMs;
    }
    appendQueueToRecoveryLog();
    return finishFlush(false);
}

bool WriteQueue::waitingBeforeRetry() const
{
    return retryAtMs_ != 0 && clock_.currentMSecsSinceEpoch() < retryAtMs_;
}

// Empties the queue and stops the write timer; every flush ends this way.
bool WriteQueue::finishFlush(bool reachedDatabase)
{
    // Records before firstUnwritten_ are in the table with their IDs; the
    // others went to the recovery file and have none.
    for (int slot = 0; slot < queuedCount_; ++slot) {
        if (slot >= firstUnwritten_)
            records_[slot].id = 0;
        if (shown_[slot] && onSettled_)
            onSettled_(records_[slot]);
    }
    clearQueue();
    writeTimer_.stop();
    return reachedDatabase;
}

void WriteQueue::noteRefusal(const QString& reason)
{
    lastFailure_ = reason.isEmpty() ? QStringLiteral("the database refused the write") : reason;
}

bool WriteQueue::writeToDatabase()
{
    try {
        if (!openWritePath())
            return false;
        if (batchWritesEnabled_ && queuedCount_ - firstUnwritten_ > 1) {
            writeAsOneTransaction();
            return true;
        }
        if (!writeQueuedRecords())
            return false;
        // The database takes records again one by one: batches may resume.
        batchWritesEnabled_ = true;
        return true;
    } catch (const std::exception& error) {
        noteRefusal(QString::fromUtf8(error.what()));
        return false;
    }
}

void WriteQueue::writeAsOneTransaction()
{
    writer_.begin();
    transactionOpen_ = true;
    for (int slot = firstUnwritten_; slot < queuedCount_; ++slot)
        records_[slot].id = writer_.append(records_[slot]);
    writer_.commit();
    transactionOpen_ = false;
    counters_.stored += queuedCount_ - firstUnwritten_;
    firstUnwritten_ = queuedCount_;
}

// After a failed write: undo the half-written batch, stop batching, reopen the
// write path and try the records one by one.
bool WriteQueue::rewriteRecordByRecord()
{
    if (transactionOpen_) {
        transactionOpen_ = false;
        try {
            writer_.rollback();
        } catch (const DbError&) {
            // The reopen below closes the connection, which discards the transaction.
        }
    }
    batchWritesEnabled_ = false;
    return reopenWriter() && writeQueuedRecords();
}

// Writes the records not yet stored, one by one. Rows stored before a failure
// stay stored and are not written again.
bool WriteQueue::writeQueuedRecords()
{
    if (!openWritePath())
        return false;
    try {
        for (; firstUnwritten_ < queuedCount_; ++firstUnwritten_) {
            appendSlot(firstUnwritten_);
            ++counters_.stored;
        }
    } catch (const std::exception& error) {
        noteRefusal(QString::fromUtf8(error.what()));
        return false;
    }
    return true;
}

void WriteQueue::appendSlot(int slot)
{
    records_[slot].id = writer_.append(records_[slot]);
}

// One line per record not yet stored, UTF-8, CR LF. The file is only ever
// appended to.
void WriteQueue::appendQueueToRecoveryLog()
{
    QByteArray lines;
    for (int slot = firstUnwritten_; slot < queuedCount_; ++slot)
        lines += recoveryLogLine(records_[slot].time, records_[slot].ip, records_[slot].message).toUtf8() + "\r\n";
    appendLines(lines, queuedCount_ - firstUnwritten_);
}

void WriteQueue::recoverRecord(const LogRecord& record, const QString& reason, bool show)
{
    ++counters_.received;
    noteRefusal(reason);
    appendLines(recoveryLogLine(record.time, record.ip, record.message).toUtf8() + "\r\n", 1);
    if (show && onSettled_) {
        LogRecord recovered = record;
        recovered.id = 0;
        onSettled_(recovered);
    }
}

void WriteQueue::appendLines(const QByteArray& lines, qint64 records)
{
    if (records <= 0)
        return;
    const Result<> appended = appendToRegularFile(recoveryLogPath_, lines);
    if (appended) {
        counters_.recovered += records;
        return;
    }
    counters_.lost += records;
    lastRecoveryFailure_ = QDir::toNativeSeparators(recoveryLogPath_) + QStringLiteral(": ") + appended.error();
}

void WriteQueue::clearQueue()
{
    for (int slot = 0; slot < queuedCount_; ++slot) {
        records_[slot] = LogRecord();
        shown_[slot] = false;
    }
    queuedCount_ = 0;
    firstUnwritten_ = 0;
}

bool WriteQueue::reopenWritePath()
{
    if (queuedCount_ > 0)
        flush();
    return reopenWriter();
}

bool WriteQueue::openWritePath() { return writer_.isOpen() || reopenWriter(); }

bool WriteQueue::reopenWriter()
{
    const Result<> reopened = writer_.reopen();
    if (!reopened)
        noteRefusal(reopened.error());
    return bool(reopened);
}
