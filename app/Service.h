#pragma once

#include "app/CommandLine.h"

#include <QString>
#include <QStringList>

// What the window program (kiv-syslog) and the service program (kiv-syslogd)
// share: everything but the window, none of which needs a display.

// Prints one line on standard error, as the program's own.
void printLine(const QString& line);
// Makes the language of the user's locale the interface's (fixed for the
// run), saying so when the Chinese translation is missing.
void useLocaleLanguage();
QStringList argumentsOf(int argc, char* argv[]);
// The directory the command names (made absolute), or the program's own.
QString dataDirOf(const CommandLine& command);

// Help, version, a wrong option, --export and the receiver without a window
// (--headless: the core on this thread, and the socket windows attach to).
// Returns the exit status: 2 for a wrong option or a failed export, 1 when
// the receiver cannot start, 0 after a termination signal once everything
// read is stored.
int runWithoutWindow(int& argc, char* argv[], const CommandLine& command, Program program);
