#include "intake/DatagramIntake.h"

#include "intake/SaturatingCounter.h"
#include "intake/WriteQueue.h"
#include "net/SyslogParser.h"
#include "platform/Database.h"
#include "platform/Timer.h"
#include "platform/UdpSocket.h"
#include "store/LogDatabase.h"
#include "store/LogRecord.h"

namespace {

// A message's own bytes: the CR, LF and NUL at its end only end it (senders
// end messages with LF, CR LF or NUL, as rsyslog and syslog-ng take them);
// inside it they stay. Copies only when there is something to remove.
QByteArray messageBytes(const QByteArray& bytes)
{
    const qsizetype size = withoutTrailingLineEndBytes(bytes).size();
    return size == bytes.size() ? bytes : bytes.first(size);
}

} // namespace

DatagramIntake::DatagramIntake(WriteQueue& queue, Timer& writeTimer, LogDatabase& database, const Clock& clock,
                               Events events)
    : queue_(queue), writeTimer_(writeTimer), database_(database), events_(std::move(events)), arrival_(clock)
{
    queue_.setOnSettled(events_.showRecord);
}

void DatagramIntake::handleDatagram(const Datagram& datagram)
{
    tolerateFailure([&] {
        const QByteArray bytes = messageBytes(datagram.bytes);
        handle(decoder_.decode(bytes), datagram.senderIp, bytes);
    });
}

bool DatagramIntake::handleStreamMessage(const QByteArray& streamed, const QString& ip)
{
    bool tooLong = false;
    tolerateFailure([&] {
        const QByteArray bytes = messageBytes(streamed);
        const QString text = decoder_.decode(bytes);
        tooLong = text.size() > kLongestMessage;
        if (!tooLong)
            handle(text, ip, bytes);
    });
    return !tooLong;
}

qint32 DatagramIntake::startNextSecond()
{
    const qint32 received = receivedThisSecond_;
    receivedThisSecond_ = 0;
    return received;
}

void DatagramIntake::handle(const QString& text, const QString& ip, const QByteArray& bytes)
{
    if (filterEnabled_ != 0 && !isValidMessage(text))
        reject(text, ip);
    else if (minSeverity_ >= 0 && parseSyslogPriority(text).severity() > minSeverity_)
        reject(text, ip);
    else
        accept(text, ip, bytes);
}

void DatagramIntake::reject(const QString& text, const QString& ip)
{
    arrival_.update();
    storeFilteredMessage(filtered_, arrival_.dateTime(), ip, text);
    incrementSaturating(filteredCount_);
}

void DatagramIntake::accept(const QString& text, const QString& ip, const QByteArray& bytes)
{
    arrival_.update();
    if (onAccepted_) // forwarding is no reason to lose the record
        tolerateFailure([&] { onAccepted_(bytes, ip, arrival_.dateTime()); });
    const QString message = trimmedMessage(text);
    if (fitsLengthWindow(message)) {
        LogRecord record{arrival_.text(), ip, message, fieldReader_.read(text, arrival_.forSenderTime())};
        if (onKept_) // the rules are no reason to lose the record
            tolerateFailure([&] { onKept_(record); });
        keep(std::move(record));
    } else {
        ++lengthDropped_;
    }
    incrementSaturating(receivedThisSecond_);
}

// The arrival time was read when the message was accepted.
void DatagramIntake::keep(LogRecord&& record)
{
    const bool show = receivedThisSecond_ < kShownPerSecond && events_.showRecord;
    if (const Result<> rolledOver = rollOverIfNewDay(record.time); !rolledOver) {
        // The new day has no table yet: the record must not land in the
        // previous day's table. The next datagram tries the rollover again.
        queue_.recoverRecord(record, rolledOver.error(), show);
        return;
    }
    queue_.enqueue(std::move(record), receivedThisSecond_, show);
}

// Fails when the day changed and the new day's table could not be made; the
// current day then stays the previous one.
Result<> DatagramIntake::rollOverIfNewDay(const QString& time)
{
    const QStringView day = dayOfRecordTime(time);
    if (day == currentDay_)
        return {};
    queue_.flush();
    writeTimer_.stop();
    bool created = false;
    try {
        created = database_.ensureTodayTable();
    } catch (const DbError& error) {
        return Failure{QStringLiteral("the table of %1 cannot be made: %2").arg(day, error.text())};
    }
    if (created && events_.dayTableCreated) // telling about it is no reason to lose the record
        tolerateFailure([&] { events_.dayTableCreated(day.toString()); });
    if (!queue_.reopenWritePath() && events_.error)
        events_.error(QStringLiteral("刷新共享数据库连接错误"));
    currentDay_ = day.toString();
    if (events_.dayStarted)
        events_.dayStarted(currentDay_);
    return {};
}
