#include "StatusTicker.h"

#include "Timer.h"

#include <QLabel>

namespace {

QString chineseCaption(const AppState& state)
{
    if (state.FilterEnabled != 1)
        return QStringLiteral("过滤信息:消息过滤功能已关闭");
    return QStringLiteral("过滤信息:已过滤无效信息") + QString::number(state.FilteredCount) + QStringLiteral("条")
        + QStringLiteral(",接收速率") + QString::number(state.ReceivedThisSecond) + QStringLiteral("条/秒");
}

QString englishCaption(const AppState& state)
{
    const QString rejected = QStringLiteral("Filtering info: ") + QString::number(state.FilteredCount);
    if (state.FilterEnabled != 1)
        return rejected + QStringLiteral(" Filter is disabled ");
    return rejected + QStringLiteral(" invalid info has been filtered. Recv rate ")
        + QString::number(state.ReceivedThisSecond) + QStringLiteral(" per sec");
}

} // namespace

QString statusCaption(const AppState& state)
{
    return state.english() ? englishCaption(state) : chineseCaption(state);
}

StatusTicker::StatusTicker(AppState& state, QLabel& statusLabel, Timer& writeTimer,
                           std::function<void()> refreshFilteredView, std::function<void()> refreshDayList)
    : state_(state)
    , statusLabel_(statusLabel)
    , writeTimer_(writeTimer)
    , refreshFilteredView_(std::move(refreshFilteredView))
    , refreshDayList_(std::move(refreshDayList))
{
}

void StatusTicker::计时器_Timer()
{
    statusLabel_.setText(statusCaption(state_));
    state_.ReceivedThisSecond = 0;
    refreshFilteredViewIfOpen();
    reloadDayListIfOwed();
}

void StatusTicker::refreshFilteredViewIfOpen()
{
    if (state_.FilteredViewOpen && refreshFilteredView_)
        refreshFilteredView_();
}

void StatusTicker::reloadDayListIfOwed()
{
    if (state_.DayListRefreshPending != 1)
        return;
    writeTimer_.stop();
    try {
        if (refreshDayList_)
            refreshDayList_();
    } catch (...) {
        // The reload stays owed and is tried again at the next tick.
        return;
    }
    state_.DayListRefreshPending = 0;
}
