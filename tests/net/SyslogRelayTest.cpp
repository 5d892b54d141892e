#include "net/SyslogRelay.h"

#include <gtest/gtest.h>

namespace {

const QByteArray kStamp = "Dec  7 09:05:03";
const QByteArray kHost = "192.168.1.5";

QByteArray relayed(const QByteArray& message) { return relayedMessage(message, kHost, kStamp); }

} // namespace

TEST(SyslogRelay, CompletesMessagesWithoutAValidTimestampAndKeepsTheOthers)
{
    const QByteArray added = "Dec  7 09:05:03 192.168.1.5 ";
    // Nothing to say when or where: the relay's PRI, TIMESTAMP and HOSTNAME.
    EXPECT_EQ(relayed("info: disk ok"), "<13>" + added + "info: disk ok");
    EXPECT_EQ(relayed("<999>info: bad pri"), "<13>" + added + "<999>info: bad pri");
    // A PRI without a TIMESTAMP: inserted after it, the rest (TAG, Cisco
    // sequence number, bytes that are no text) as it was.
    EXPECT_EQ(relayed("<14>info: disk ok"), "<14>" + added + "info: disk ok");
    EXPECT_EQ(relayed("<14>myapp[42]: started\n"), "<14>" + added + "myapp[42]: started\n");
    EXPECT_EQ(relayed("<189>123: %LINK-3-UPDOWN: down"), "<189>" + added + "123: %LINK-3-UPDOWN: down");
    EXPECT_EQ(relayed("<14>Feb 30 10:00:00 host x"), "<14>" + added + "Feb 30 10:00:00 host x");
    EXPECT_EQ(relayed(QByteArray("<14>\xd6\xd0\0x", 8)), "<14>" + added + QByteArray("\xd6\xd0\0x", 4));

    // A valid TIMESTAMP, with or without HOSTNAME, or an RFC 5424 header: unchanged.
    for (const QByteArray& kept : {QByteArray("<13>Oct 11 22:14:15 router su: 'su root' failed\n"),
                                   QByteArray("<14>Dec  7 15:37:51 app[12]: no hostname"),
                                   QByteArray("<189>27: *Mar  1 18:46:11.123: %SYS-5-CONFIG_I: x"),
                                   QByteArray("<13>2026-12-07T15:37:51.619+00:00 vm root: rsyslog"),
                                   QByteArray("<13>1 2026-12-07T15:37:51Z vm root - - - info"),
                                   QByteArray("<13>1 - - - - - - nil values\r\n")})
        EXPECT_EQ(relayed(kept), kept);
}

TEST(SyslogRelay, TimestampsAndStreamFrames)
{
    EXPECT_EQ(relayTimestamp(QDateTime(QDate(2026, 12, 7), QTime(9, 5, 3))), kStamp);
    EXPECT_EQ(relayTimestamp(QDateTime(QDate(2027, 1, 23), QTime(23, 59, 59))), "Jan 23 23:59:59");

    QByteArray out;
    appendOctetCounted(out, "<14>a\n");
    appendOctetCounted(out, "");
    EXPECT_EQ(out, "6 <14>a\n0 ");

    out.clear();
    appendLineFramed(out, "<14>ends\r\n\0");
    appendLineFramed(out, QByteArray("<14>in\nside\0and\r\nhere", 21));
    appendLineFramed(out, "\n");
    EXPECT_EQ(out, "<14>ends\n<14>in side and\r here\n\n");
}
