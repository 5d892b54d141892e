#include "intake/RecordTime.h"

#include "platform/Clock.h"
#include "store/LogRecord.h"

namespace {

QChar* putDigits(QChar* out, int value, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = QLatin1Char(char('0' + value % 10));
        value /= 10;
    }
    return out + digits;
}

QChar* putSeparator(QChar* out, char separator)
{
    *out = QLatin1Char(separator);
    return out + 1;
}

} // namespace

QString formatRecordTime(const QDateTime& time)
{
    const QDate date = time.date();
    const QTime clock = time.time();
    if (!date.isValid() || !clock.isValid() || date.year() < 0 || date.year() > 9999)
        return time.toString(QLatin1StringView(kTimeFormat));

    QString text(19, Qt::Uninitialized);
    QChar* out = text.data();
    out = putSeparator(putDigits(out, date.year(), 4), '-');
    out = putSeparator(putDigits(out, date.month(), 2), '-');
    out = putSeparator(putDigits(out, date.day(), 2), ' ');
    out = putSeparator(putDigits(out, clock.hour(), 2), ':');
    out = putSeparator(putDigits(out, clock.minute(), 2), ':');
    putDigits(out, clock.second(), 2);
    return text;
}

void ArrivalTime::update()
{
    const qint64 ms = clock_.currentMSecsSinceEpoch();
    const qint64 second = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    if (second == second_)
        return;
    second_ = second;
    dateTime_ = clock_.now();
    text_ = formatRecordTime(dateTime_);
    forSenderTime_ = SyslogArrival::of(dateTime_);
}
