#include "intake/MessageText.h"
#include "intake/RecordTime.h"
#include "store/LogRecord.h"

#include <QStringEncoder>
#include <gtest/gtest.h>
#include <utility>

using namespace Qt::StringLiterals;

TEST(MessageFilter, AcceptsOnlyTheThreeWordsInLowerCase)
{
    EXPECT_TRUE(isValidMessage(QStringLiteral("<13>info service started")));
    EXPECT_TRUE(isValidMessage(QStringLiteral("disk error on sda")));
    EXPECT_TRUE(isValidMessage(QStringLiteral("<12>fan warning")));
    EXPECT_TRUE(isValidMessage(QStringLiteral("misinformation")));
    EXPECT_FALSE(isValidMessage(QStringLiteral("<13>INFO service started")));
    EXPECT_FALSE(isValidMessage(QStringLiteral("Error Warning")));
    EXPECT_FALSE(isValidMessage(QStringLiteral("link up")));
    EXPECT_FALSE(isValidMessage(QString()));
}

TEST(MessageTrimming, DropsEverythingUpToTheFirstBlank)
{
    EXPECT_EQ(trimmedMessage(QStringLiteral("<13>info service started")), QStringLiteral("service started"));
    EXPECT_EQ(trimmedMessage(QStringLiteral("<13>info")), QStringLiteral("<13>info"));
    EXPECT_EQ(trimmedMessage(QStringLiteral("info ")), QString());
    EXPECT_EQ(trimmedMessage(QStringLiteral(" info")), QStringLiteral("info"));
}

TEST(MessageTrimming, LengthWindowKeepsThreeTo65534Characters)
{
    EXPECT_FALSE(fitsLengthWindow(QString()));
    EXPECT_FALSE(fitsLengthWindow(QStringLiteral("ab")));
    EXPECT_TRUE(fitsLengthWindow(QStringLiteral("abc")));
    EXPECT_TRUE(fitsLengthWindow(QString(65534, QLatin1Char('x'))));
    EXPECT_FALSE(fitsLengthWindow(QString(65535, QLatin1Char('x'))));
}

TEST(DatagramDecoding, ReadsValidUtf8AsUtf8)
{
    const QString text = QStringLiteral("<13>info 接口 up ü");
    EXPECT_EQ(decodeDatagram(text.toUtf8()), text);
    EXPECT_EQ(decodeDatagram(QByteArray()), QString());
    // A byte order mark is text like any other, not dropped at the start.
    EXPECT_EQ(decodeDatagram("\xEF\xBB\xBF"), QStringLiteral("\uFEFF"));
    EXPECT_EQ(decodeDatagram("\xEF\xBB\xBF<13>info"), QStringLiteral("\uFEFF<13>info"));
}

TEST(DatagramDecoding, ReadsOtherBytesAsGb18030)
{
    QStringEncoder gb18030("GB18030");
    ASSERT_TRUE(gb18030.isValid());
    const QString text = QStringLiteral("<11>error 端口链路中断");
    const QByteArray bytes = gb18030.encode(text);
    ASSERT_NE(bytes, text.toUtf8());
    EXPECT_EQ(decodeDatagram(bytes), text);
}

TEST(DatagramDecoding, AnyBytesGiveTextAndDoNotSpoilTheNextDatagram)
{
    DatagramDecoder decoder;
    const QByteArray garbage("info \xff\xfe\x80\x00\x81", 10);
    const QString fromGarbage = decoder.decode(garbage);
    EXPECT_TRUE(fromGarbage.startsWith(QStringLiteral("info ")));
    EXPECT_GE(fromGarbage.size(), 6);

    // A multi-byte character cut off at the end is not valid UTF-8 either.
    const QByteArray truncated = QByteArray("warning ") + QStringLiteral("接").toUtf8().left(2);
    EXPECT_TRUE(decoder.decode(truncated).startsWith(QStringLiteral("warning ")));

    const QString clean = QStringLiteral("info 正常");
    EXPECT_EQ(decoder.decode(clean.toUtf8()), clean);
}

TEST(DatagramDecoding, NulBytesBecomeVisibleSymbolsAndTheRestStaysSearchable)
{
    DatagramDecoder decoder;
    const QString text = decoder.decode(QByteArray("host a\0b info", 13));
    EXPECT_EQ(text, QStringLiteral("host a\u2400b info"));
    EXPECT_TRUE(isValidMessage(text));
    EXPECT_EQ(trimmedMessage(text), QStringLiteral("a\u2400b info"));

    // The same in a datagram that is read through the fallback converter.
    const QString fallback = decoder.decode(QByteArray("\xff\0\0 error", 9));
    EXPECT_FALSE(fallback.contains(QChar(u'\0')));
    EXPECT_EQ(fallback.count(QChar(u'\u2400')), 2);
    EXPECT_TRUE(fallback.endsWith(QStringLiteral(" error")));
}

TEST(DatagramDecoding, ASequenceCutOffAtTheEndIsShownNotDropped)
{
    DatagramDecoder decoder;
    EXPECT_EQ(decoder.decode("info \x81"), QStringLiteral("info \uFFFD"));
    EXPECT_EQ(decoder.decode("\xCC\x32\xA5"), QStringLiteral("\uFFFD2\uFFFD"));
    const QString cut = decoder.decode(QByteArray("warning ") + QStringLiteral("接").toUtf8().left(2));
    EXPECT_EQ(cut.size(), 9);
    EXPECT_NE(cut.back(), QLatin1Char(' '));
}

TEST(RecordTime, MatchesTheStoredTimeFormat)
{
    const QDateTime times[] = {
        QDateTime(QDate(2026, 12, 6), QTime(13, 45, 10)),
        QDateTime(QDate(2027, 1, 1), QTime(0, 0, 1)),
        QDateTime(QDate(999, 9, 9), QTime(9, 5, 59)),
        QDateTime(QDate(2024, 2, 29), QTime(23, 59, 59)),
    };
    for (const QDateTime& time : times)
        EXPECT_EQ(formatRecordTime(time), time.toString(QLatin1StringView(kTimeFormat)));
    EXPECT_EQ(formatRecordTime(times[1]), QStringLiteral("2027-01-01 00:00:01"));
    EXPECT_EQ(dayOfRecordTime(QStringLiteral("2027-01-01 00:00:01")), QStringLiteral("2027-01-01"));
}

// A flood shares the texts one message has in common with the one before,
// and a sender's time with the one before read in the same arrival second;
// what is read must not depend on that, down to an empty part staying empty
// rather than becoming NULL, and the year of a timestamp without one.
TEST(FieldReading, TheMessageBeforeChangesNothingReadFromTheNext)
{
    const QDateTime newYear(QDate(2027, 1, 1), QTime(0, 0, 30));
    const QDateTime summer(QDate(2027, 8, 1), QTime(0, 0, 30));
    const QString lastDay = u"<13>Dec 31 23:59:50 host app[7]: info: a"_s;
    const std::pair<QString, QDateTime> messages[] = {
        {lastDay, newYear}, {u"<13>Dec 31 23:59:50 host app[7]: info: b"_s, newYear},
        {u"<14> info: empty head"_s, newYear}, {u"<14> info: empty head again"_s, newYear},
        {lastDay, newYear}, {u"<189>12: *Dec 31 23:59:50: %LINK-3-UPDOWN: x"_s, newYear},
        {u"<165>1 2027-01-01T00:00:29.5Z h2 app - ID7 [x@1 a=\"1\"] info: c"_s, newYear},
        {u"<13>Jan  1 00:00:29 host app[8]: info: d"_s, newYear}, {u"<14>info:"_s, newYear},
        {lastDay, newYear}, {lastDay, summer}, {lastDay, QDateTime()}, {lastDay, QDateTime()}, {lastDay, newYear},
        {u"<14>info: disk ok"_s, newYear}, {u"<14>info: Dec 31 23:59:50 host app: x"_s, newYear},
        {u"<189>12: sw1: hello"_s, newYear}, {u"<189>12: sw1: *Dec 31 23:59:50: %LINK-3-UPDOWN: x"_s, newYear},
        {u"<13>Dec 31 23:59:50 host app[7]:"_s, newYear}, {u"<13>Dec 31 23:59:50 host app[7]: x"_s, newYear},
        {u"<13>Dec 31 23:59:50 host x y"_s, newYear}, {u"<13>Dec 31 23:59:50 host app: z"_s, newYear}};
    FieldReader reader;
    for (const auto& [message, arrival] : messages) {
        const LogFields alone = readFields(message, arrival);
        const LogFields shared = reader.read(message, SyslogArrival::of(arrival));
        EXPECT_EQ(shared, alone) << message.toStdString();
        for (const auto& [text, sharedText] : {std::pair{alone.head, shared.head}, {alone.host, shared.host},
                                               {alone.timestamp, shared.timestamp}, {alone.sd, shared.sd}})
            EXPECT_EQ(text.isNull(), sharedText.isNull()) << message.toStdString();
    }
    EXPECT_EQ(readFields(lastDay, newYear).timestamp, u"2026-12-31T23:59:50"_s);
    EXPECT_EQ(readFields(lastDay, summer).timestamp, u"2027-12-31T23:59:50"_s);
    EXPECT_TRUE(readFields(messages[2].first, newYear).head.isEmpty()
                && !readFields(messages[2].first, newYear).head.isNull());
}
