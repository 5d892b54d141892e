#include "intake/ui/StatusCaption.h"

#include <gtest/gtest.h>

TEST(StatusCaption, ChineseShowsCountAndRateOrFilterOff)
{
    IntakeSecond counters;
    counters.filteredCount = 3;
    counters.receivedThisSecond = 12;
    EXPECT_EQ(statusCaption(counters, false), QStringLiteral("过滤信息:已过滤无效信息3条,接收速率12条/秒"));
    counters.filterEnabled = 0;
    EXPECT_EQ(statusCaption(counters, false), QStringLiteral("过滤信息:消息过滤功能已关闭"));
    counters.filterEnabled = 2;
    EXPECT_EQ(statusCaption(counters, false), QStringLiteral("过滤信息:消息过滤功能已关闭"));
}

TEST(StatusCaption, EnglishKeepsTheCountWhenFilterIsOff)
{
    IntakeSecond counters;
    counters.filteredCount = 3;
    counters.receivedThisSecond = 12;
    EXPECT_EQ(statusCaption(counters, true),
              QStringLiteral("Filtering info: 3 invalid info has been filtered. Recv rate 12 per sec"));
    counters.filterEnabled = 0;
    EXPECT_EQ(statusCaption(counters, true), QStringLiteral("Filtering info: 3 Filter is disabled "));
}

TEST(StatusCaption, LossTooltipListsEveryCountOnlyOnceSomethingWasLost)
{
    LossCounts losses;
    EXPECT_TRUE(lossTooltip(losses, false).isEmpty());
    losses.kernelDropped = 17;
    losses.recordsLost = 2;
    const QString english = lossTooltip(losses, true);
    EXPECT_TRUE(english.contains(QStringLiteral("17 datagrams dropped by the system")));
    EXPECT_TRUE(english.contains(QStringLiteral("0 datagrams dropped (too many")));
    EXPECT_TRUE(english.contains(QStringLiteral("2 records stored neither")));
    EXPECT_TRUE(lossTooltip(losses, false).contains(QStringLiteral("系统丢弃的数据包（接收缓冲区已满）17个")));
}

TEST(StatusCaption, NotesTellWhyTcpIsNotReceivedAndWhatForwardingMissed)
{
    IntakeSecond counters;
    EXPECT_TRUE(intakeNotes(counters, true).isEmpty());
    counters.tcpUnavailable = QStringLiteral("The bound address is already in use");
    counters.forwardMisses << QStringLiteral("tcp://h:601: not connected, 0 sent, 5 missed, 0 waiting");
    EXPECT_EQ(intakeNotes(counters, true),
              QStringLiteral("Syslog over TCP is not received: the TCP port cannot be bound (The bound address is "
                             "already in use)\nForwarding missed messages:\n"
                             "tcp://h:601: not connected, 0 sent, 5 missed, 0 waiting"));
    EXPECT_EQ(intakeNotes(counters, false),
              QStringLiteral("未接收TCP日志：TCP端口无法绑定（The bound address is already in use）\n转发遗漏的消息：\n"
                             "tcp://h:601: not connected, 0 sent, 5 missed, 0 waiting"));
}
