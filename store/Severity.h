#pragma once

#include <QString>

// A syslog severity's name ("warning" for 4) in the interface's language;
// empty outside 0..7.
QString severityName(int severity);
