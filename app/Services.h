#pragma once

#include <QString>

class Clipboard;
class Clock;
class DbEngine;
class Dialogs;
class FileChooser;
class ReceiverLink;
class SettingsStore;
class Shell;
class SingleInstance;

// Everything the main window reaches outside itself. main() passes the real
// implementations; tests pass fakes wherever a real one cannot be driven.
struct Services {
    Clock& clock;
    Dialogs& dialogs;
    Clipboard& clipboard;
    // Asks for the name of a file to export to.
    FileChooser& fileChooser;
    Shell& shell;
    SettingsStore& settings;
    SingleInstance& singleInstance;
    // The link to the receiver (socket, intake, write queue and write path),
    // on a thread of this process or in a service.
    ReceiverLink& receiver;
    // Short-lived connections: day list, loads, search, cleaner.
    DbEngine& readEngine;
    // Where syslog.mdb and syslog_recovery.log live.
    QString programDir;
};
