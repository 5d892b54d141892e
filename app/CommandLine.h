#pragma once

#include "search/LogSearch.h"

#include <QString>
#include <QStringList>

// What the command line asks for.
struct CommandLine {
    enum class Action { Window, Headless, Export, CheckRules, Help, Version, Error };
    Action action = Action::Window;
    // Where syslog.mdb, syslog_recovery.log and Temporal.mdb live; empty for
    // the program's directory.
    QString dataDir;
    // --export: the day (yyyy-MM-dd or "all") and the filters.
    QString exportDay;
    // --keyword, --ip, --severity, --facility (-1 when not given), --host,
    // --program, --from and --to (as stored, "yyyy-MM-dd HH:mm:ss").
    SearchQuery filters;
    bool json = false;
    // Action::Error: what is wrong, one line.
    QString error;
};

// Reads the arguments (the program's name first).
CommandLine parseCommandLine(const QStringList& arguments);

// The two programs: the window (kiv-syslog) and the service without a window
// (kiv-syslogd).
enum class Program { Window, Service };

// The usage text printed by --help and after a wrong option.
QString usageText(Program program = Program::Window);

// Why a data directory cannot be used (missing, not a directory, not
// writable), naming it, in the interface's language; empty when it can be used.
QString dataDirProblem(const QString& dir);
