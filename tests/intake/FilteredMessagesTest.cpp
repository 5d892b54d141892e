#include "intake/FilteredMessages.h"

#include <gtest/gtest.h>

namespace {

const QDateTime kArrival(QDate(2026, 12, 6), QTime(13, 45, 10));

void storeNumbered(FilteredMessageBuffer& buffer, int from, int to)
{
    for (int i = from; i <= to; ++i)
        storeFilteredMessage(buffer, kArrival.addSecs(i), QStringLiteral("10.0.0.1"), QString::number(i));
}

} // namespace

TEST(FilteredMessageBuffer, StoresEachRejectionAtTheNextIndex)
{
    FilteredMessageBuffer buffer;
    storeFilteredMessage(buffer, kArrival, QStringLiteral("192.168.1.20"), QStringLiteral("<13>link up"));
    storeFilteredMessage(buffer, kArrival.addSecs(1), QStringLiteral("192.168.1.21"), QString());

    EXPECT_EQ(buffer.count, 2);
    EXPECT_EQ(buffer.generation, 0);
    EXPECT_TRUE(buffer.changed);
    EXPECT_EQ(buffer.times[0], kArrival);
    EXPECT_EQ(buffer.ips[0], QStringLiteral("192.168.1.20"));
    EXPECT_EQ(buffer.texts[0], QStringLiteral("<13>link up"));
    EXPECT_EQ(buffer.ips[1], QStringLiteral("192.168.1.21"));
    EXPECT_TRUE(buffer.texts[1].isEmpty());
}

TEST(FilteredMessageBuffer, FullBufferStartsANewGenerationWithoutStoringTheOverflow)
{
    FilteredMessageBuffer buffer;
    storeNumbered(buffer, 1, 2000);
    EXPECT_EQ(buffer.count, 2000);
    EXPECT_EQ(buffer.texts[1999], QStringLiteral("2000"));
    EXPECT_EQ(buffer.generation, 0);

    buffer.changed = false;
    storeNumbered(buffer, 2001, 2001);
    EXPECT_EQ(buffer.count, 0);
    EXPECT_EQ(buffer.generation, 1);
    EXPECT_TRUE(buffer.changed);

    storeNumbered(buffer, 2002, 2002);
    EXPECT_EQ(buffer.count, 1);
    EXPECT_EQ(buffer.texts[0], QStringLiteral("2002"));
    EXPECT_EQ(buffer.times[0], kArrival.addSecs(2002));
}

TEST(FilteredMessageBuffer, CopyFollowsTheBufferThroughUpdatesAcrossAGeneration)
{
    FilteredMessageBuffer buffer;
    FilteredMessageBuffer copy;
    qint32 sentGeneration = 0;
    qint32 sentCount = 0;
    auto follow = [&] { applyFilteredUpdate(copy, takeFilteredUpdate(buffer, sentGeneration, sentCount)); };

    storeNumbered(buffer, 1, 3);
    follow();
    storeNumbered(buffer, 4, 5);
    const FilteredBufferUpdate onlyNew = takeFilteredUpdate(buffer, sentGeneration, sentCount);
    EXPECT_EQ(onlyNew.firstIndex, 3);
    EXPECT_EQ(onlyNew.entries.size(), 2);
    applyFilteredUpdate(copy, onlyNew);
    EXPECT_FALSE(buffer.changed);
    EXPECT_TRUE(copy.changed);

    storeNumbered(buffer, 6, 2002); // full at 2000, the next starts generation 1, then two more
    follow();
    EXPECT_EQ(copy.generation, 1);
    ASSERT_EQ(copy.count, 1);
    EXPECT_EQ(copy.texts[0], QStringLiteral("2002"));
    EXPECT_EQ(copy.times[0], buffer.times[0]);
}

TEST(FilteredMessageBuffer, AHugeDatagramIsKeptAsItsBeginning)
{
    FilteredMessageBuffer buffer;
    storeFilteredMessage(buffer, kArrival, QStringLiteral("10.0.0.1"), QString(60000, QLatin1Char('x')));
    EXPECT_EQ(buffer.texts[0], QString(kLongestFilteredText, QLatin1Char('x')) + QChar(0x2026));
}
