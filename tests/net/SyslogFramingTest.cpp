#include "net/SyslogFraming.h"

#include <gtest/gtest.h>

namespace {

QByteArray octets(const QByteArray& message) { return QByteArray::number(message.size()) + ' ' + message; }

QList<QByteArray> feedAll(SyslogFraming& framing, const QList<QByteArray>& chunks)
{
    QList<QByteArray> messages;
    for (const QByteArray& chunk : chunks)
        messages += framing.feed(chunk);
    return messages;
}

// An octet-counted message holding every terminator.
const QByteArray kCounted("<34>Oct 11 22:14:15 host su: has\nLF, \r\n and \0 inside", 52);

// One connection mixing both framings and every terminator.
const QByteArray kStream = octets(kCounted)
    + "<13>plain line\n"
    + "<13>crlf line\r\n"
    + "\n\r\n\n"  // empty messages
    + "<14>nul ended" + QByteArray(1, '\0')
    + "42x starts with digits\n"
    + "0 starts with zero\n"
    + "lone\rcr\n"
    + octets("<15>counted after plain")
    + octets("9")
    + "<16>last";

const QList<QByteArray> kStreamMessages = {
    kCounted,
    "<13>plain line",
    "<13>crlf line",
    "<14>nul ended",
    "42x starts with digits",
    "0 starts with zero",
    "lone\rcr",
    "<15>counted after plain",
    "9",
};

} // namespace

TEST(SyslogFramingTest, SplitsBothFramingsAlikeHoweverTheStreamIsCut)
{
    {
        SyslogFraming framing(1024);
        EXPECT_EQ(framing.feed(kStream), kStreamMessages);
        EXPECT_EQ(framing.bufferedBytes(), 8);  // "<16>last" waits for its end
        EXPECT_EQ(framing.finish(), QList<QByteArray>{"<16>last"});
        EXPECT_FALSE(framing.hasError());
    }
    for (qsizetype cut = 0; cut <= kStream.size(); ++cut) {
        SyslogFraming framing(1024);
        EXPECT_EQ(feedAll(framing, {kStream.left(cut), kStream.mid(cut)}), kStreamMessages) << "cut at " << cut;
    }
    SyslogFraming bytewise(1024);
    QList<QByteArray> messages;
    for (char byte : kStream)
        messages += bytewise.feed(&byte, 1);
    EXPECT_EQ(messages, kStreamMessages);
}

TEST(SyslogFramingTest, AcceptsMessagesOfExactlyTheLimit)
{
    const QByteArray sixteen(16, 'x');
    SyslogFraming framing(16);
    QList<QByteArray> messages;
    // Byte by byte, so that the CR is seen before it is known to precede LF.
    for (char byte : sixteen + "\r\n" + octets(sixteen))
        messages += framing.feed(&byte, 1);
    EXPECT_EQ(messages, (QList<QByteArray>{sixteen, sixteen}));
    EXPECT_FALSE(framing.hasError());
}

TEST(SyslogFramingTest, RejectsOversizedMessagesAndBadCountsAfterTheWholeMessagesBeforeThem)
{
    struct Case {
        QByteArray stream;
        SyslogFraming::Error error;
    };
    const QList<Case> cases = {
        {"ok\n" + octets("counted") + QByteArray(17, 'y') + "\nafter\n", SyslogFraming::Error::Oversized},
        {"ok\n" + octets("counted") + QByteArray(17, 'y'), SyslogFraming::Error::Oversized},
        {"ok\n" + octets("counted") + QByteArray(16, 'y') + "\r" + QByteArray(1, '\0'), SyslogFraming::Error::Oversized},
        {"ok\n" + octets("counted") + "1234567890 x\n", SyslogFraming::Error::OctetCountTooLong},
        {"ok\n" + octets("counted") + "17 " + QByteArray(17, 'z'), SyslogFraming::Error::OctetCountAboveLimit},
    };
    for (const Case& c : cases) {
        for (qsizetype cut = 0; cut <= c.stream.size(); ++cut) {
            SyslogFraming framing(16);
            const QList<QByteArray> messages = feedAll(framing, {c.stream.left(cut), c.stream.mid(cut), "more\n"});
            EXPECT_EQ(messages, (QList<QByteArray>{"ok", "counted"})) << c.stream.toStdString() << " cut at " << cut;
            EXPECT_EQ(framing.error(), c.error) << c.stream.toStdString();
            EXPECT_FALSE(framing.errorText().isEmpty());
            EXPECT_TRUE(framing.finish().isEmpty());
        }
    }
}
