#pragma once

#include <QByteArray>
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

inline constexpr qsizetype kShortestMessage = 3;
inline constexpr qsizetype kLongestMessage = 65534;

// Whether a trimmed message is long enough, and short enough, to be kept.
inline bool fitsLengthWindow(const QString& message)
{
    return message.size() >= kShortestMessage && message.size() <= kLongestMessage;
}
