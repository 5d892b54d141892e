#include "cleaner/CleanerDays.h"

namespace {

QDate dateOf(const QString& day) { return QDate::fromString(day, QStringLiteral("yyyy-MM-dd")); }

} // namespace

QStringList cleanerDays(QStringList days, const QDate& today)
{
    days.sort();
    QString newest = days.isEmpty() ? QString() : days.last();
    for (qsizetype i = days.size() - 1; i >= 0; --i) {
        if (dateOf(days[i]).isValid()) {
            newest = days[i];
            break;
        }
    }
    days.removeOne(newest);
    days.removeAll(today.toString(QStringLiteral("yyyy-MM-dd")));
    return days;
}
