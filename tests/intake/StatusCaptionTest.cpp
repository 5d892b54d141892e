#include "intake/ui/StatusCaption.h"
#include "platform/Language.h"

#include <gtest/gtest.h>

TEST(StatusCaption, ChineseShowsCountAndRateOrFilterOff)
{
    useLanguage(Language::Chinese);
    IntakeSecond counters;
    counters.filteredCount = 3;
    counters.receivedThisSecond = 12;
    EXPECT_EQ(statusCaption(counters), QStringLiteral("过滤信息:已过滤无效信息3条,接收速率12条/秒"));
    counters.filterEnabled = 0;
    EXPECT_EQ(statusCaption(counters), QStringLiteral("过滤信息:消息过滤功能已关闭"));
    // Any switch other than 0 filters, as intake does.
    counters.filterEnabled = 2;
    EXPECT_EQ(statusCaption(counters), QStringLiteral("过滤信息:已过滤无效信息3条,接收速率12条/秒"));
}

TEST(StatusCaption, EnglishKeepsTheCountWhenFilterIsOff)
{
    useLanguage(Language::English);
    IntakeSecond counters;
    counters.filteredCount = 3;
    counters.receivedThisSecond = 12;
    EXPECT_EQ(statusCaption(counters),
              QStringLiteral("Filtering info: 3 invalid info has been filtered. Recv rate 12 per sec"));
    counters.filterEnabled = 0;
    EXPECT_EQ(statusCaption(counters), QStringLiteral("Filtering info: 3 Filter is disabled "));
}

TEST(StatusCaption, LossTooltipListsEveryCountOnlyOnceSomethingWasLost)
{
    useLanguage(Language::English);
    LossCounts losses;
    EXPECT_TRUE(lossTooltip(losses).isEmpty());
    losses.kernelDropped = 17;
    losses.recordsLost = 2;
    losses.outsideLengthWindow = 3;
    const QString english = lossTooltip(losses);
    EXPECT_TRUE(english.contains(QStringLiteral("17 datagrams dropped by the system")));
    EXPECT_TRUE(english.contains(QStringLiteral("0 datagrams dropped (too many")));
    EXPECT_TRUE(english.contains(QStringLiteral("2 records stored neither")));
    EXPECT_TRUE(english.contains(QStringLiteral("3 messages not kept for their length")));
    useLanguage(Language::Chinese);
    EXPECT_TRUE(lossTooltip(losses).contains(QStringLiteral("系统丢弃的数据包（接收缓冲区已满）17个")));
}

TEST(StatusCaption, NotesTellWhyTcpIsNotReceivedAndWhatForwardingMissed)
{
    useLanguage(Language::English);
    IntakeSecond counters;
    EXPECT_TRUE(intakeNotes(counters).isEmpty());
    counters.tcpUnavailable = QStringLiteral("The bound address is already in use");
    counters.forwardMisses << QStringLiteral("tcp://h:601: not connected, 0 sent, 5 missed, 0 waiting");
    counters.tcpNotes << QStringLiteral("reading is paused") << QStringLiteral("3 refused");
    EXPECT_EQ(intakeNotes(counters),
              QStringLiteral("Syslog over TCP is not received: the TCP port cannot be bound (The bound address is "
                             "already in use)\nSyslog over TCP:\nreading is paused\n3 refused\n"
                             "Forwarding missed messages:\ntcp://h:601: not connected, 0 sent, 5 missed, 0 waiting"));
    useLanguage(Language::Chinese);
    EXPECT_EQ(intakeNotes(counters),
              QStringLiteral("未接收TCP日志：TCP端口无法绑定（The bound address is already in use）\nTCP日志：\n"
                             "reading is paused\n3 refused\n转发遗漏的消息：\n"
                             "tcp://h:601: not connected, 0 sent, 5 missed, 0 waiting"));
}

using namespace Qt::StringLiterals;

TEST(StatusCaption, NotesSayWhichFiltersAreOnOnceTheSeverityFilterIs)
{
    useLanguage(Language::English);
    IntakeSecond counters;
    counters.minSeverity = 4;
    EXPECT_EQ(intakeNotes(counters),
              u"Filters on: the words info, error and warning; severity 4 (warning) or more urgent"_s);
    counters.filterEnabled = 0;
    counters.minSeverity = 0;
    EXPECT_EQ(intakeNotes(counters), u"Filters on: severity 0 (emergency) or more urgent"_s);
    useLanguage(Language::Chinese);
    EXPECT_EQ(intakeNotes(counters), u"已启用的过滤：严重性0（紧急）及更紧急"_s);
}
