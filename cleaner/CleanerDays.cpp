#include "CleanerDays.h"

namespace {

QDate dateOf(const QString& day) { return QDate::fromString(day, QStringLiteral("yyyy-MM-dd")); }

} // namespace

QStringList cleanerDays(QStringList days)
{
    days.sort();
    for (qsizetype i = days.size() - 1; i >= 0; --i) {
        if (dateOf(days[i]).isValid()) {
            days.removeAt(i);
            return days;
        }
    }
    if (!days.isEmpty())
        days.removeLast();
    return days;
}

bool isMoreDaysAgoThan(const QString& day, const QDate& today, int days)
{
    const QDate date = dateOf(day);
    return date.isValid() && date.daysTo(today) > days;
}
