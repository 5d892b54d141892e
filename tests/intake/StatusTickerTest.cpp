#include "Fakes.h"
#include "StatusTicker.h"

#include <QLabel>
#include <gtest/gtest.h>
#include <stdexcept>

TEST(StatusCaption, ChineseShowsCountAndRateOrFilterOff)
{
    AppState state;
    state.FilteredCount = 3;
    state.ReceivedThisSecond = 12;
    EXPECT_EQ(statusCaption(state), QStringLiteral("过滤信息:已过滤无效信息3条,接收速率12条/秒"));
    state.FilterEnabled = 0;
    EXPECT_EQ(statusCaption(state), QStringLiteral("过滤信息:消息过滤功能已关闭"));
    state.FilterEnabled = 2;
    EXPECT_EQ(statusCaption(state), QStringLiteral("过滤信息:消息过滤功能已关闭"));
}

TEST(StatusCaption, EnglishKeepsTheCountWhenFilterIsOff)
{
    AppState state;
    state.syslng = QStringLiteral("en");
    state.FilteredCount = 3;
    state.ReceivedThisSecond = 12;
    EXPECT_EQ(statusCaption(state), QStringLiteral("Filtering info: 3 invalid info has been filtered. Recv rate 12 per sec"));
    state.FilterEnabled = 0;
    EXPECT_EQ(statusCaption(state), QStringLiteral("Filtering info: 3 Filter is disabled "));
}

class StatusTickerTest : public ::testing::Test {
protected:
    StatusTicker makeTicker()
    {
        return StatusTicker(state, label, writeTimer, [this] { ++filteredViewRefreshes; }, [this] {
            ++dayListReloads;
            if (dayListFails)
                throw std::runtime_error("database is locked");
        });
    }

    AppState state;
    QLabel label;
    FakeTimer writeTimer;
    int filteredViewRefreshes = 0;
    int dayListReloads = 0;
    bool dayListFails = false;
};

TEST_F(StatusTickerTest, TickShowsTheLastSecondsRateAndStartsANewSecond)
{
    StatusTicker ticker = makeTicker();
    ticker.计时器_Timer();
    EXPECT_EQ(label.text(), QStringLiteral("过滤信息:已过滤无效信息0条,接收速率0条/秒"));

    state.ReceivedThisSecond = 11;
    state.FilteredCount = 4;
    ticker.计时器_Timer();
    EXPECT_EQ(label.text(), QStringLiteral("过滤信息:已过滤无效信息4条,接收速率11条/秒"));
    EXPECT_EQ(state.ReceivedThisSecond, 0);
    EXPECT_EQ(filteredViewRefreshes, 0);
    EXPECT_EQ(dayListReloads, 0);
}

TEST_F(StatusTickerTest, TickRefreshesTheFilteredViewOnlyWhileItIsOpen)
{
    StatusTicker ticker = makeTicker();
    state.FilteredViewOpen = true;
    ticker.计时器_Timer();
    EXPECT_EQ(filteredViewRefreshes, 1);
    state.FilteredViewOpen = false;
    ticker.计时器_Timer();
    EXPECT_EQ(filteredViewRefreshes, 1);
}

TEST_F(StatusTickerTest, OwedDayListReloadStopsTheWriteTimerAndRunsOnce)
{
    StatusTicker ticker = makeTicker();
    writeTimer.start();
    state.DayListRefreshPending = 1;
    ticker.计时器_Timer();
    EXPECT_FALSE(writeTimer.isActive());
    EXPECT_EQ(dayListReloads, 1);
    EXPECT_EQ(state.DayListRefreshPending, 0);
    ticker.计时器_Timer();
    EXPECT_EQ(dayListReloads, 1);
}

TEST_F(StatusTickerTest, FailedDayListReloadStaysOwedForTheNextTick)
{
    StatusTicker ticker = makeTicker();
    state.DayListRefreshPending = 1;
    dayListFails = true;
    ticker.计时器_Timer();
    EXPECT_EQ(state.DayListRefreshPending, 1);
    dayListFails = false;
    ticker.计时器_Timer();
    EXPECT_EQ(dayListReloads, 2);
    EXPECT_EQ(state.DayListRefreshPending, 0);
}
