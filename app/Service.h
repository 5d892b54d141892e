#pragma once

#include "app/CommandLine.h"

#include <QString>

class QCoreApplication;

// What the window program (kiv-syslog) and the service program (kiv-syslogd)
// both do: the headless receiver and the export, neither of which needs a
// display.

// Prints one line on standard error, as the program's own.
void printLine(const QString& line);
QString versionText();
bool englishLocale();

// The directory the command names (made absolute), or the program's own.
QString dataDirOf(const CommandLine& command);

// --export: the day's records as CSV on standard output. 0, or 2 after
// printing why not.
int runExport(const CommandLine& command, const QString& dataDir);

// --headless: the receiver without any window, the core on this thread, and
// the socket windows attach to. Ends with status 1 when it cannot start, 0
// after a termination signal once everything read is stored.
int runHeadless(QCoreApplication& app, const QString& dataDir);
