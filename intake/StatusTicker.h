#pragma once

#include "AppState.h"

#include <QString>
#include <functional>

class QLabel;
class Timer;

// The status line's text: how many datagrams the filter rejected and how many
// were accepted during the last second, or that the filter is off.
QString statusCaption(const AppState& state);

// The one-second tick: writes the status line, starts the next one-second
// interval, keeps the filtered-message window current and carries out a
// day-list reload owed since the cleaner window closed.
class StatusTicker {
public:
    // writeTimer: the write queue's timer, stopped before an owed day-list reload.
    StatusTicker(AppState& state, QLabel& statusLabel, Timer& writeTimer,
                 std::function<void()> refreshFilteredView, std::function<void()> refreshDayList);

    void 计时器_Timer();

private:
    void refreshFilteredViewIfOpen();
    void reloadDayListIfOwed();

    AppState& state_;
    QLabel& statusLabel_;
    Timer& writeTimer_;
    std::function<void()> refreshFilteredView_;
    std::function<void()> refreshDayList_;
};
