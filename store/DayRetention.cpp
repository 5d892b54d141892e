#include "store/DayRetention.h"

#include "platform/Database.h"
#include "store/LogDatabase.h"
#include "store/LogRecord.h"
#include "store/SearchIndex.h"

#include <memory>

namespace {

void dropEach(DbConnection& connection, const QStringList& days, DayDropResult& result)
{
    for (const QString& day : days) {
        try {
            connection.execute(QStringLiteral("DROP TABLE ") + quoteName(dayTableName(day)));
            result.dropped << day;
        } catch (const DbError& error) {
            result.failures << day + QStringLiteral(": ") + error.text();
        }
    }
}

} // namespace

bool isMoreDaysAgoThan(const QString& day, const QDate& today, int days)
{
    const QDate date = QDate::fromString(day, QLatin1String(kDayFormat));
    return date.isValid() && date.daysTo(today) > days;
}

DayDropResult dropDayTables(LogDatabase& database, const QStringList& days)
{
    DayDropResult result;
    if (days.isEmpty())
        return result;
    std::unique_ptr<DbConnection> connection;
    try {
        connection = database.openConnection();
    } catch (const DbError& error) {
        for (const QString& day : days)
            result.failures << day + QStringLiteral(": ") + error.text();
        return result;
    }
    dropEach(*connection, days, result);
    QStringList tables;
    for (const QString& day : result.dropped)
        tables << dayTableName(day);
    forgetIndexedDays(database.programDir(), tables);
    return result;
}

DayDropResult dropDaysOlderThan(LogDatabase& database, int keepDays, const QDate& today)
{
    DayDropResult result;
    if (keepDays < 1)
        return result;
    try {
        const std::unique_ptr<DbConnection> connection = database.openConnection();
        QStringList expired;
        for (const TableInfo& table : connection->tables()) {
            const QDate date = dateOfDayTable(table.name);
            if (table.type == QLatin1String("TABLE") && date.isValid() && date != today
                && date.daysTo(today) > keepDays)
                expired << date.toString(QLatin1String(kDayFormat));
        }
        dropEach(*connection, expired, result);
    } catch (const DbError& error) {
        result.failures << error.text();
    }
    return result;
}
