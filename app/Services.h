#pragma once

#include <QString>
#include <functional>
#include <memory>

class Clipboard;
class Clock;
class DbEngine;
class Dialogs;
class SettingsStore;
class Shell;
class SingleInstance;
class SystemLocale;
class Timer;
class UdpSocket;

// Everything the main window reaches outside the process. main() passes the
// real implementations; tests pass fakes wherever a real one cannot be driven.
struct Services {
    Clock& clock;
    Dialogs& dialogs;
    Clipboard& clipboard;
    Shell& shell;
    SettingsStore& settings;
    SystemLocale& locale;
    SingleInstance& singleInstance;
    UdpSocket& socket;
    // Short-lived connections: day list, loads, search, cleaner.
    DbEngine& readEngine;
    // The long-lived write path: fails fast when the file is locked, so records
    // go to the recovery file instead of holding the window.
    DbEngine& writeEngine;
    // Makes the window's timers; tests make timers they can fire by hand.
    std::function<std::unique_ptr<Timer>(int intervalMs)> makeTimer;
    // Where syslog.mdb and syslog_recovery.log live.
    QString programDir;
};
