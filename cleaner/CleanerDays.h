#pragma once

#include "store/DayRetention.h"

#include <QDate>
#include <QStringList>

// The days the cleaner offers for dropping: every listed day in ascending
// order, except the newest day, whose table normally receives today's records.
// The newest day is the latest entry that is a date; an entry that is not a date
// (a foreign table's name) never hides it. Without any date the last entry goes.
// Today's day is never offered either: its table takes the records arriving
// now, even when a foreign table's name ends in a later date.
QStringList cleanerDays(QStringList days, const QDate& today);

// The age test of the day buttons is isMoreDaysAgoThan (DayRetention.h),
// shared with keeping days for a set time.
