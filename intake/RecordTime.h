#pragma once

#include "net/SyslogParser.h"

#include <QDateTime>
#include <QString>
#include <limits>

// A date-time as record time text, "yyyy-MM-dd HH:mm:ss" (24-hour clock, two
// digits per part). Built digit by digit, because every accepted datagram
// needs one.
QString formatRecordTime(const QDateTime& time);

// The day "yyyy-MM-dd" of a record time text: its first ten characters.
inline QStringView dayOfRecordTime(const QString& timeText) { return QStringView(timeText).left(10); }

class Clock;

// The arrival time of the datagram being handled, asked of the clock once per
// second of wall time instead of once per datagram: a flood of thousands of
// datagrams a second shares one date-time and one time text per second.
class ArrivalTime {
public:
    explicit ArrivalTime(const Clock& clock) : clock_(clock) {}
    // Reads the clock; the two accessors below then give that instant.
    void update();
    const QDateTime& dateTime() const { return dateTime_; }
    // "yyyy-MM-dd HH:mm:ss"
    const QString& text() const { return text_; }
    // The same instant as the sender's time without a year is read against.
    const SyslogArrival& forSenderTime() const { return forSenderTime_; }

private:
    const Clock& clock_;
    qint64 second_ = std::numeric_limits<qint64>::min();
    QDateTime dateTime_;
    QString text_;
    SyslogArrival forSenderTime_;
};
