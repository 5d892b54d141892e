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
// Held records are written in transactions (or recovery file appends) of at most this many.
constexpr std::size_t kHeldRun = 1000;

// What a held record takes in memory, roughly.
qint64 heldBytes(const LogRecord& record)
{
    const LogFields& f = record.fields;
    const qsizetype characters = record.time.size() + record.ip.size() + record.message.size() + f.host.size()
                               + f.app.size() + f.procid.size() + f.msgid.size() + f.timestamp.size() + f.sd.size()
                               + f.head.size();
    return qint64(characters) * qint64(sizeof(QChar)) + qint64(sizeof(LogRecord)) + 64;
}

QByteArray recoveryLines(const LogRecord& record)
{
    return recoveryLogLine(record.time, record.ip, record.message).toUtf8() + "\r\n";
}

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

bool WriteQueue::enqueue(LogRecord&& record, qint32 receivedThisSecond, bool show)
{
    if (queuedCount_ >= kCapacity)
        flush();

    bool queued = false;
    if (queuedCount_ < kCapacity) {
        record.id = 0;
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
    bool reachedDatabase = true;
    if (!held_.empty()) {
        // The held records go first, and nothing passes them.
        if (!waitingBeforeRetry())
            reachedDatabase = writeHeld();
        if (!held_.empty()) {
            holdQueue();
            return finishFlush(false);
        }
    }
    if (queuedCount_ <= 0)
        return finishFlush(reachedDatabase);
    if (!waitingBeforeRetry()) {
        if (writeToDatabase() || rewriteRecordByRecord()) {
            retryAtMs_ = 0;
            return finishFlush(reachedDatabase);
        }
        retryAtMs_ = clock_.currentMSecsSinceEpoch() + kRetryAfterMs;
    }
    if (!appendQueueToRecoveryLog())
        holdQueue();
    return finishFlush(false);
}

void WriteQueue::close()
{
    retryAtMs_ = 0;
    flush();
    if (!held_.empty()) {
        counters_.lost += qint64(held_.size());
        releaseHeld(held_.size(), false);
    }
    writeTimer_.stop();
    tellHolding();
}

bool WriteQueue::waitingBeforeRetry() const { return retryAtMs_ != 0 && clock_.currentMSecsSinceEpoch() < retryAtMs_; }

// Empties the queue and stops the write timer, which only runs on while
// records are held, to try again; every flush ends this way.
bool WriteQueue::finishFlush(bool reachedDatabase)
{
    // Slots written carry their IDs; those that went to the recovery file
    // have none; those held are shown once written.
    if (onSettled_) {
        for (int slot = 0; slot < queuedCount_; ++slot) {
            if (shown_[slot])
                onSettled_(records_[slot]);
        }
    }
    clearQueue();
    if (held_.empty())
        writeTimer_.stop();
    else if (!writeTimer_.isActive())
        writeTimer_.start();
    tellHolding();
    return reachedDatabase;
}

void WriteQueue::tellHolding()
{
    if (isHolding() == toldHolding_)
        return;
    toldHolding_ = isHolding();
    if (onHoldingChanged_)
        onHoldingChanged_(toldHolding_);
}

// Keeps a record in memory, behind those held already, unless the held
// records would take more than their limit: then it is lost.
void WriteQueue::hold(LogRecord record, bool tableless, bool show)
{
    const qint64 bytes = heldBytes(record);
    if (heldBytes_ + bytes > kHeldLimitBytes) {
        ++counters_.lost;
        return;
    }
    record.id = 0;
    held_.push_back(HeldRecord{std::move(record), tableless, show});
    heldBytes_ += bytes;
    ++counters_.held;
}

void WriteQueue::holdQueue()
{
    for (int slot = firstUnwritten_; slot < queuedCount_; ++slot) {
        hold(std::move(records_[slot]), false, shown_[slot]);
        shown_[slot] = false;
    }
    firstUnwritten_ = queuedCount_;
}

// Writes the held records in order, in runs: to the database while it takes
// them, else to the recovery file; a run of tableless records only to the
// recovery file. Stops at the first run that neither takes. True when every
// record written went to the database.
bool WriteQueue::writeHeld()
{
    bool allStored = true;
    bool databaseRefused = false;
    while (!held_.empty()) {
        const bool tableless = held_.front().tableless;
        std::size_t count = 1;
        while (count < held_.size() && count < kHeldRun && held_[count].tableless == tableless)
            ++count;
        if (!tableless && !databaseRefused) {
            if (storeHeld(count)) {
                releaseHeld(count, true);
                continue;
            }
            databaseRefused = true;
        }
        allStored = false;
        if (!recoverHeld(count))
            break;
        releaseHeld(count, true);
    }
    const bool tryAgainLater = databaseRefused || !held_.empty();
    retryAtMs_ = tryAgainLater ? clock_.currentMSecsSinceEpoch() + kRetryAfterMs : 0;
    return allStored;
}

// The first count held records in one transaction.
bool WriteQueue::storeHeld(std::size_t count)
{
    try {
        if (!openWritePath())
            return false;
        writer_.begin();
        transactionOpen_ = true;
        for (std::size_t i = 0; i < count; ++i)
            held_[i].record.id = writer_.append(held_[i].record);
        writer_.commit();
        transactionOpen_ = false;
    } catch (const std::exception& error) {
        noteRefusal(QString::fromUtf8(error.what()));
        rollBackOpenTransaction();
        // The next try starts on a fresh connection.
        writer_.close();
        return false;
    }
    counters_.stored += qint64(count);
    return true;
}

bool WriteQueue::recoverHeld(std::size_t count)
{
    QByteArray lines;
    for (std::size_t i = 0; i < count; ++i) {
        held_[i].record.id = 0; // an ID of a rolled-back write means nothing
        lines += recoveryLines(held_[i].record);
    }
    return appendLines(lines, qint64(count));
}

void WriteQueue::releaseHeld(std::size_t count, bool settled)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (settled && held_.front().show && onSettled_)
            onSettled_(held_.front().record);
        heldBytes_ -= heldBytes(held_.front().record);
        held_.pop_front();
    }
    counters_.held -= qint64(count);
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
    const auto unwritten = std::size_t(queuedCount_ - firstUnwritten_);
    writer_.appendAll(std::span(records_).subspan(std::size_t(firstUnwritten_), unwritten));
    writer_.commit();
    transactionOpen_ = false;
    counters_.stored += queuedCount_ - firstUnwritten_;
    firstUnwritten_ = queuedCount_;
}

// After a failed write: undo the half-written batch, stop batching, reopen the
// write path and try the records one by one.
bool WriteQueue::rewriteRecordByRecord()
{
    rollBackOpenTransaction();
    batchWritesEnabled_ = false;
    return reopenWriter() && writeQueuedRecords();
}

// Undoes the transaction a failed write left open, if any.
void WriteQueue::rollBackOpenTransaction()
{
    if (!transactionOpen_)
        return;
    transactionOpen_ = false;
    try {
        writer_.rollback();
    } catch (const DbError&) {
        // The caller closes or reopens the connection next, which discards the transaction.
    }
}

// Writes the records not yet stored, one by one. Rows stored before a failure
// stay stored and are not written again.
bool WriteQueue::writeQueuedRecords()
{
    if (!openWritePath())
        return false;
    try {
        for (; firstUnwritten_ < queuedCount_; ++firstUnwritten_) {
            records_[firstUnwritten_].id = writer_.append(records_[firstUnwritten_]);
            ++counters_.stored;
        }
    } catch (const std::exception& error) {
        noteRefusal(QString::fromUtf8(error.what()));
        return false;
    }
    return true;
}

// One line per record not yet stored, UTF-8, CR LF. The file is only ever
// appended to.
// False when the file refused them; they are still queued then.
bool WriteQueue::appendQueueToRecoveryLog()
{
    QByteArray lines;
    for (int slot = firstUnwritten_; slot < queuedCount_; ++slot)
        lines += recoveryLines(records_[slot]);
    if (!appendLines(lines, queuedCount_ - firstUnwritten_))
        return false;
    for (int slot = firstUnwritten_; slot < queuedCount_; ++slot)
        records_[slot].id = 0; // an ID of a rolled-back write means nothing
    firstUnwritten_ = queuedCount_;
    return true;
}

void WriteQueue::recoverRecord(const LogRecord& record, const QString& reason, bool show)
{
    ++counters_.received;
    noteRefusal(reason);
    if (held_.empty() && appendLines(recoveryLines(record), 1)) {
        if (show && onSettled_) {
            LogRecord recovered = record;
            recovered.id = 0;
            onSettled_(recovered);
        }
        return;
    }
    hold(record, true, show);
    if (!held_.empty() && !writeTimer_.isActive())
        writeTimer_.start();
    tellHolding();
}

bool WriteQueue::appendLines(const QByteArray& lines, qint64 records)
{
    if (records <= 0)
        return true;
    const Result<> appended = appendToRegularFile(recoveryLogPath_, lines);
    if (appended) {
        counters_.recovered += records;
        return true;
    }
    lastRecoveryFailure_ = QDir::toNativeSeparators(recoveryLogPath_) + QStringLiteral(": ") + appended.error();
    return false;
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
