#pragma once

#include <QString>
#include <utility>

// What was read from a message's priority and header, stored beside the
// record. Texts are null and numbers -1 where the message had no such part;
// a record stored before fields were kept has none at all (msgPos -1).
struct LogFields {
    int facility = -1;   // 0..23
    int severity = -1;   // 0 (emergency) .. 7 (debug)
    QString host;
    QString app;
    QString procid;
    QString msgid;
    QString timestamp;   // the sender's own time, ISO 8601
    QString sd;          // RFC 5424 structured data as sent
    // The text between the priority and the first blank, which the stored
    // message leaves out; null when the text has no blank (the stored message
    // then is the whole text).
    QString head;
    // Where the message part (after the header) starts in the whole text
    // after the priority: head + " " + message, or message when head is null.
    int msgPos = -1;

    bool known() const { return msgPos >= 0; }
    // The whole text after the priority, rebuilt from head and message.
    QString wholeText(const QString& message) const
    {
        return head.isNull() ? message : head + QLatin1Char(' ') + message;
    }
    // The message part after the header; empty when the fields are unknown.
    QString msg(const QString& message) const { return known() ? wholeText(message).mid(msgPos) : QString(); }
    bool operator==(const LogFields&) const = default;
};

// One accepted syslog message as it is stored: arrival time
// "yyyy-MM-dd hh:mm:ss" (local time), sender's dotted IPv4 address, message,
// and the fields read from it.
struct LogRecord {
    LogRecord() = default;
    LogRecord(QString recordTime, QString senderIp, QString text, LogFields readFields = {})
        : time(std::move(recordTime)), ip(std::move(senderIp)), message(std::move(text)), fields(std::move(readFields))
    {
    }

    QString time;
    QString ip;
    QString message;
    LogFields fields;
    // The record's ID in its day's table; 0 while it has none (not written
    // yet, or it went to the recovery file).
    qint64 id = 0;

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
