#pragma once

#include <QDateTime>
#include <QString>

// A date-time as record time text, "yyyy-MM-dd HH:mm:ss" (24-hour clock, two
// digits per part). Built digit by digit, because every accepted datagram
// needs one.
QString formatRecordTime(const QDateTime& time);

// The day "yyyy-MM-dd" of a record time text: its first ten characters.
inline QStringView dayOfRecordTime(const QString& timeText) { return QStringView(timeText).left(10); }
