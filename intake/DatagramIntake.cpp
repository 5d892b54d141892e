#include "DatagramIntake.h"

#include "Clock.h"
#include "ExtentListWidget.h"
#include "FilteredMessages.h"
#include "LogDatabase.h"
#include "LogRecord.h"
#include "RecordTime.h"
#include "SaturatingCounter.h"
#include "Timer.h"
#include "UdpSocket.h"
#include "WriteQueue.h"

#include <algorithm>
#include <limits>

DatagramIntake::DatagramIntake(AppState& state, ExtentListWidget& mainList, WriteQueue& queue, Timer& writeTimer,
                               LogDatabase& database, Dialogs& dialogs, const Clock& clock,
                               std::function<void()> onDayTableCreated)
    : state_(state)
    , mainList_(mainList)
    , queue_(queue)
    , writeTimer_(writeTimer)
    , database_(database)
    , dialogs_(dialogs)
    , clock_(clock)
    , onDayTableCreated_(std::move(onDayTableCreated))
{
}

void DatagramIntake::udpWinscok_DataArrival(const Datagram& datagram)
{
    try {
        handle(datagram);
    } catch (...) {
        // One bad datagram must not stop reception; the next one is handled normally.
    }
}

void DatagramIntake::handle(const Datagram& datagram)
{
    const QString text = decoder_.decode(datagram.bytes);
    if (state_.FilterEnabled != 0 && !IsValidMessage(text))
        reject(text, datagram.senderIp);
    else
        accept(text, datagram.senderIp);
}

void DatagramIntake::reject(const QString& text, const QString& ip)
{
    StoreFilteredMessage(state_.filtered, clock_.now(), ip, text);
    incrementSaturating(state_.FilteredCount);
}

void DatagramIntake::accept(const QString& text, const QString& ip)
{
    const QString message = trimmedMessage(text);
    if (fitsLengthWindow(message))
        keep(message, ip);
    incrementSaturating(state_.ReceivedThisSecond);
}

void DatagramIntake::keep(const QString& message, const QString& ip)
{
    const QString time = formatRecordTime(clock_.now());
    if (state_.ReceivedThisSecond < kShownPerSecond)
        showLine(logLine(time, ip, message));
    rollOverIfNewDay(time);
    queue_.EnqueueRecord(time, ip, message);
}

void DatagramIntake::showLine(const QString& line)
{
    while (mainList_.count() >= kMaxListLines)
        delete mainList_.takeItem(0);
    mainList_.addItem(line);
    const auto width = static_cast<qint32>(std::min<qsizetype>(line.size(), std::numeric_limits<qint32>::max()));
    if (width > state_.WidestLine) {
        state_.WidestLine = width;
        SetListHorizontalExtent(width);
    }
    mainList_.setCurrentRow(mainList_.count() - 1);
}

void DatagramIntake::SetListHorizontalExtent(qint32 characters)
{
    if (characters <= 0)
        return;
    constexpr qint32 widestRepresentable = (std::numeric_limits<int>::max() - horizontalExtentFor(0)) / 7;
    mainList_.setHorizontalExtent(horizontalExtentFor(std::min(characters, widestRepresentable)));
}

void DatagramIntake::rollOverIfNewDay(const QString& time)
{
    const QStringView day = dayOfRecordTime(time);
    if (day == state_.CurrentDay)
        return;
    try {
        rollOverTo(day.toString());
    } catch (...) {
        // CurrentDay keeps the previous day, so the next datagram tries the
        // rollover again; this record is still queued by the caller, so it
        // reaches the database or the recovery file instead of being dropped.
    }
}

void DatagramIntake::rollOverTo(const QString& day)
{
    queue_.FlushWriteQueue();
    writeTimer_.stop();
    if (database_.EnsureTodayTable() && onDayTableCreated_)
        onDayTableCreated_();
    queue_.RefreshSharedConnection(dialogs_);
    state_.CurrentDay = day;
}
