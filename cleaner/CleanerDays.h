#pragma once

#include <QDate>
#include <QStringList>

// The days the cleaner offers for dropping: every listed day in ascending
// order, except the newest day, whose table normally receives today's records.
// The newest day is the latest entry that is a date; an entry that is not a date
// (a foreign table's name) never hides it. Without any date the last entry goes.
// Today's day is never offered either: its table takes the records arriving
// now, even when a foreign table's name ends in a later date.
QStringList cleanerDays(QStringList days, const QDate& today);

// Whether `day` ("yyyy-MM-dd") lies more than `days` calendar days before
// `today`, that is at least days + 1 days back. An entry that is not a valid
// date is never that old.
bool isMoreDaysAgoThan(const QString& day, const QDate& today, int days);
