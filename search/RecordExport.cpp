#include "search/RecordExport.h"

#include "platform/Clock.h"
#include "platform/SqliteEngine.h"
#include "search/CsvExport.h"
#include "search/LogSearch.h"
#include "store/LogDatabase.h"
#include "store/LogRecord.h"

#include <QDate>
#include <QFileInfo>
#include <QIODevice>
#include <algorithm>

namespace {

const QString kAllDays = QStringLiteral("all");

bool isDayText(const QString& text) { return dateOfDayTable(dayTableName(text)).isValid(); }

// The days of the tables named syslog-yyyy-MM-dd with a valid date, ascending.
QStringList storedDays(DbConnection& connection)
{
    QStringList days;
    for (const TableInfo& table : connection.tables()) {
        if (table.type == QLatin1String("TABLE") && dateOfDayTable(table.name).isValid())
            days << dayOfTable(table.name);
    }
    days.sort();
    return days;
}

QString dayExportSql(const QString& day, const QString& conditionText)
{
    QString sql = QStringLiteral("SELECT [时间],[IP地址],[信息] FROM ") + quoteName(dayTableName(day));
    if (!conditionText.isEmpty())
        sql += QStringLiteral(" WHERE ") + conditionText;
    return sql + QStringLiteral(" ORDER BY [ID]");
}

// Streams the records of the days.
Result<> writeDays(DbConnection& connection, const QStringList& days, const SearchCondition& condition, QIODevice& out)
{
    CsvWriter writer(out);
    const auto refused = [&] { return Failure{QStringLiteral("cannot write the output: ") + writer.errorString()}; };
    if (!writer.writeHeader())
        return refused();
    for (const QString& day : days) {
        try {
            const std::unique_ptr<DbCursor> rows = connection.query(dayExportSql(day, condition.text), condition.params);
            while (rows->next()) {
                if (!writer.writeRecord(rows->utf8(0), rows->utf8(1), rows->utf8(2)))
                    return refused();
            }
        } catch (const DbError& error) {
            return Failure{QStringLiteral("cannot read the records of %1: %2").arg(day, error.text())};
        }
    }
    if (!writer.finish())
        return refused();
    return {};
}

Failure oneLine(QString reason)
{
    return Failure{reason.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '))};
}

} // namespace

Result<> exportRecords(const QString& dataDir, const QString& day, const QString& keyword, const QString& ip,
                       QIODevice& out)
{
    if (day != kAllDays && !isDayText(day))
        return oneLine(QStringLiteral("bad day \"%1\": give yyyy-MM-dd or all").arg(day));

    SystemClock clock;
    SqliteEngine engine;
    const QString path = LogDatabase(engine, dataDir, clock).path();
    if (!QFileInfo(path).isFile())
        return oneLine(QStringLiteral("no database: %1 does not exist").arg(path));
    try {
        const std::unique_ptr<DbConnection> connection = engine.open(path, DbEngine::OpenMode::ReadOnly);
        // One read transaction: every day is read as of the same moment,
        // whatever a running writer adds meanwhile.
        connection->begin();
        const QStringList known = storedDays(*connection);
        if (day != kAllDays && !known.contains(day))
            return oneLine(QStringLiteral("no records table for %1 in %2").arg(day, path));
        const QStringList days = day == kAllDays ? known : QStringList{day};
        const Result<> written = writeDays(*connection, days, buildSearchCondition(keyword, ip), out);
        if (!written)
            return oneLine(written.error());
        connection->commit();
    } catch (const DbError& dbError) {
        return oneLine(QStringLiteral("cannot read %1: %2").arg(path, dbError.text()));
    }
    return {};
}
