#pragma once

#include <QString>

// One accepted syslog message as it is stored: arrival time
// "yyyy-MM-dd hh:mm:ss" (local time), sender's dotted IPv4 address, message.
struct LogRecord {
    QString time;
    QString ip;
    QString message;

    // The record's day, "yyyy-MM-dd": the first ten characters of its time.
    QString day() const { return time.left(10); }
};

// The text form of a record in every list and in the recovery file:
// time, " IP:", address, one blank, message.
inline QString logLine(const QString& time, const QString& ip, const QString& message)
{
    return time + QStringLiteral(" IP:") + ip + QLatin1Char(' ') + message;
}

inline QString logLine(const LogRecord& record) { return logLine(record.time, record.ip, record.message); }

// The format of record times and of the day part of table names.
inline constexpr const char* kTimeFormat = "yyyy-MM-dd HH:mm:ss";
inline constexpr const char* kDayFormat = "yyyy-MM-dd";
