#include "net/SyslogRelay.h"

#include "net/SyslogParser.h"

#include <QString>
#include <charconv>

QByteArray relayedMessage(const QByteArray& message, QByteArrayView senderHost, QByteArrayView timestamp)
{
    // Every byte one character: the header is ASCII, and a position in the
    // text is the same position in the bytes.
    const QString text = QString::fromLatin1(message);
    const SyslogHeader header = parseSyslogHeader(withoutTrailingLineEnds(text));
    if (header.pri >= 0 && (header.format == SyslogFormat::Rfc5424 || header.time.isValid()))
        return message;

    const QByteArrayView pri = header.pri >= 0 ? QByteArrayView(message).first(header.priLength) : QByteArrayView("<13>");
    const QByteArrayView rest = QByteArrayView(message).sliced(header.pri >= 0 ? header.priLength : 0);
    QByteArray relayed;
    relayed.reserve(pri.size() + timestamp.size() + senderHost.size() + 2 + rest.size());
    relayed.append(pri).append(timestamp).append(' ').append(senderHost).append(' ').append(rest);
    return relayed;
}

QByteArray relayTimestamp(const QDateTime& time)
{
    static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const QDate date = time.date();
    const QTime clock = time.time();
    if (!date.isValid() || !clock.isValid())
        return QByteArrayLiteral("Jan  1 00:00:00");
    char text[16];
    auto two = [](char* at, int value, char pad) {
        at[0] = value < 10 ? pad : char('0' + value / 10);
        at[1] = char('0' + value % 10);
    };
    std::copy_n(kMonths + 3 * (date.month() - 1), 3, text);
    text[3] = ' ';
    two(text + 4, date.day(), ' ');
    text[6] = ' ';
    two(text + 7, clock.hour(), '0');
    text[9] = ':';
    two(text + 10, clock.minute(), '0');
    text[12] = ':';
    two(text + 13, clock.second(), '0');
    return QByteArray(text, 15);
}

void appendOctetCounted(QByteArray& out, QByteArrayView message)
{
    char header[24];
    char* end = std::to_chars(header, header + sizeof header - 1, message.size()).ptr;
    *end++ = ' ';
    out.append(header, end - header).append(message);
}

void appendLineFramed(QByteArray& out, QByteArrayView message)
{
    qsizetype length = message.size();
    while (length > 0 && (message[length - 1] == '\n' || message[length - 1] == '\r' || message[length - 1] == '\0'))
        --length;
    const qsizetype start = out.size();
    out.append(message.first(length));
    char* at = out.data() + start;
    for (char* const end = at + length; at != end; ++at)
        if (*at == '\n' || *at == '\0')
            *at = ' ';
    out.append('\n');
}
