#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

class LogDatabase;

// Whether `day` ("yyyy-MM-dd") lies more than `days` calendar days before
// `today`, that is at least days + 1 days back. An entry that is not a valid
// date is never that old. The age boundary of the cleaner's buttons and of
// keeping days for a set time.
bool isMoreDaysAgoThan(const QString& day, const QDate& today, int days);

struct DayDropResult {
    // The days whose tables were dropped, ascending.
    QStringList dropped;
    // One line per failure: "yyyy-MM-dd: reason", or the reason alone when
    // the database could not be opened or its tables listed.
    QStringList failures;
};

// Drops the daily tables of the given days, each whole or not at all; a
// failing day does not stop the others, and the search index forgets the
// dropped ones. The file is not compacted.
DayDropResult dropDayTables(LogDatabase& database, const QStringList& days);

// Keeps keepDays days: drops every table named "syslog-yyyy-MM-dd" (a valid
// date) whose day is more than keepDays days before today, by the same
// boundary as the cleaner (keepDays 30 on 2026-12-06 drops 2026-11-05 and
// earlier, keeps 2026-11-06). Today's table is never dropped, nor any table
// of another name. keepDays below 1 drops nothing. The file is not compacted.
DayDropResult dropDaysOlderThan(LogDatabase& database, int keepDays, const QDate& today);
