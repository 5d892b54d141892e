#pragma once

#include "net/SyslogParser.h"
#include "store/LogRecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringDecoder>

// Turns the bytes of a datagram into text. Valid UTF-8 is read as UTF-8;
// anything else is read as GB18030, the encoding Chinese network devices
// commonly send (Latin-1 where no GB18030 converter is available), so every
// datagram becomes readable text and none is lost.
//
// A NUL character is replaced by U+2400 (the symbol for NUL), so the text
// after it stays visible and searchable.
//
// Keeps its converters between datagrams, so the costly fallback converter is
// opened only once.
class DatagramDecoder {
public:
    DatagramDecoder();
    QString decode(const QByteArray& bytes);

private:
    QString decodeFallback(const QByteArray& bytes);

    QStringDecoder utf8_;
    QStringDecoder fallback_;
};

// One-off decoding with a fresh DatagramDecoder.
QString decodeDatagram(const QByteArray& bytes);

// The message filter: true when the text contains "info", "error" or
// "warning", compared case-sensitively (INFO or Error do not count).
bool isValidMessage(const QString& text);

// The message part of a datagram text: everything after its first blank
// (U+0020); a text without a blank is kept whole.
QString trimmedMessage(const QString& text);

// The fields of a decoded message text (its line ends at the end already
// left out): priority, header parts, the sender's time as ISO 8601 (a time
// without a year placed next to arrival), and what the stored message, the
// text after the first blank, leaves out. Messages without a priority get no
// facility and severity; nothing is made up.
LogFields readFields(QStringView text, const QDateTime& arrival);

// Reads the fields of one message after another, as readFields() does, and
// shares every text a message has in common with the one before (a flood
// from one sender repeats its host, program and time): most messages then
// allocate nothing for their fields, a sender's time repeated within the
// same second of arrival is not worked out again, and a message repeating
// the whole header of the one before within that second is not read again.
class FieldReader {
public:
    LogFields read(QStringView text, const SyslogArrival& arrival);

private:
    QString senderTime(const SyslogHeader& header, const SyslogArrival& arrival);
    void keepAsPrevious(const LogFields& fields);
    bool repeatsHeader(QStringView text, const SyslogArrival& arrival) const;
    void rememberHeader(QStringView text, const SyslogHeader& header);

    LogFields previous_;
    // The previous message's header, from its priority to the end of its
    // TAG, when a message starting with the same characters has the same
    // fields; empty otherwise. Whether it holds a time, which then depends
    // on the arrival second too.
    QString repeatableHeader_;
    bool repeatableHasTime_ = false;
    // The last sender's time worked out: as sent, how it was read, the
    // arrival second it was placed next to, and the result.
    QString stamp_;
    SyslogFormat stampFormat_ = SyslogFormat::None;
    qint64 stampArrival_ = 0;
    QString stampIso_;
};

inline constexpr qsizetype kShortestMessage = 3;
inline constexpr qsizetype kLongestMessage = 65534;

// Whether a trimmed message is long enough, and short enough, to be kept.
inline bool fitsLengthWindow(const QString& message)
{
    return message.size() >= kShortestMessage && message.size() <= kLongestMessage;
}
