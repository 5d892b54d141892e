#pragma once

#include "AppState.h"
#include "MessageText.h"

#include <QString>
#include <functional>

class Clock;
class Dialogs;
class ExtentListWidget;
class LogDatabase;
class Timer;
class WriteQueue;
struct Datagram;

// The receiving end: classifies each datagram, shows accepted ones in the main
// list (at most ten new lines a second, at most 500 lines), hands them to the
// write queue and moves the write path on to a new daily table at the first
// accepted datagram of a new day. Rejected datagrams go to the
// filtered-message buffer.
class DatagramIntake {
public:
    // onDayTableCreated: called when the rollover created the new day's table,
    // so the day list can show the new day.
    DatagramIntake(AppState& state, ExtentListWidget& mainList, WriteQueue& queue, Timer& writeTimer,
                   LogDatabase& database, Dialogs& dialogs, const Clock& clock,
                   std::function<void()> onDayTableCreated);

    // Handles one datagram. Never throws: a failure ends the handling of this
    // datagram only, keeping what was already done.
    void udpWinscok_DataArrival(const Datagram& datagram);

    // Sets the main list's horizontal scroll range for a line of the given
    // number of characters; 0 or less does nothing.
    void SetListHorizontalExtent(qint32 characters);

    static constexpr int kMaxListLines = 500;
    static constexpr qint32 kShownPerSecond = 10;

private:
    void handle(const Datagram& datagram);
    void reject(const QString& text, const QString& ip);
    void accept(const QString& text, const QString& ip);
    void keep(const QString& message, const QString& ip);
    void showLine(const QString& line);
    void rollOverIfNewDay(const QString& time);
    void rollOverTo(const QString& day);

    AppState& state_;
    ExtentListWidget& mainList_;
    WriteQueue& queue_;
    Timer& writeTimer_;
    LogDatabase& database_;
    Dialogs& dialogs_;
    const Clock& clock_;
    std::function<void()> onDayTableCreated_;
    DatagramDecoder decoder_;
};
