#include "search/RecordExport.h"

#include "platform/Clock.h"
#include "platform/SqliteEngine.h"
#include "search/CsvExport.h"
#include "search/LogSearch.h"
#include "store/LogDatabase.h"
#include "store/LogRecord.h"

#include <QFileInfo>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>
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

QString dayExportSql(const QString& day, const QString& conditionText, bool withFields)
{
    QString sql = QStringLiteral("SELECT [时间],[IP地址],[信息]") + (withFields ? QLatin1Char(',') + fieldColumnsSql() : QString())
                + QStringLiteral(" FROM ") + quoteName(dayTableName(day));
    if (!conditionText.isEmpty())
        sql += QStringLiteral(" WHERE ") + conditionText;
    return sql + QStringLiteral(" ORDER BY [ID]");
}

// One record as a line of JSON: the three stored texts always, the fields
// where the record has them.
QByteArray jsonLine(const DbCursor& row, bool withFields)
{
    const auto text = [&](int column) { return QString::fromUtf8(row.utf8(column)); };
    QJsonObject object{{QStringLiteral("time"), text(0)}, {QStringLiteral("ip"), text(1)},
                       {QStringLiteral("message"), text(2)}};
    if (withFields) {
        const LogFields fields = storedFields(row);
        if (fields.facility >= 0)
            object.insert(QStringLiteral("facility"), fields.facility);
        if (fields.severity >= 0)
            object.insert(QStringLiteral("severity"), fields.severity);
        const std::pair<const char*, const QString*> texts[] = {
            {"host", &fields.host},   {"app", &fields.app}, {"procid", &fields.procid},
            {"msgid", &fields.msgid}, {"timestamp", &fields.timestamp}, {"sd", &fields.sd}};
        for (const auto& [key, value] : texts) {
            if (!value->isNull())
                object.insert(QLatin1StringView(key), *value);
        }
        if (fields.known())
            object.insert(QStringLiteral("msg"), fields.msg(text(2)));
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

// Streams the records of the days.
Result<> writeDays(DbConnection& connection, const QStringList& days, const SearchQuery& query, QIODevice& out,
                   ExportFormat format)
{
    const bool json = format == ExportFormat::JsonLines;
    CsvWriter writer(out);
    const auto refused = [&] {
        return Failure{QStringLiteral("cannot write the output: ") + (json ? out.errorString() : writer.errorString())};
    };
    if (!json && !writer.writeHeader())
        return refused();
    for (const QString& day : days) {
        try {
            const bool withFields = (json || query.hasFieldCriteria()) && holdsFieldColumns(connection, dayTableName(day));
            const SearchCondition condition = buildSearchCondition(query, withFields);
            const std::unique_ptr<DbCursor> rows
                = connection.query(dayExportSql(day, condition.text, json && withFields), condition.params);
            while (rows->next()) {
                const bool written = json ? out.write(jsonLine(*rows, withFields)) >= 0
                                          : writer.writeRecord(rows->utf8(0), rows->utf8(1), rows->utf8(2));
                if (!written)
                    return refused();
            }
        } catch (const DbError& error) {
            return Failure{QStringLiteral("cannot read the records of %1: %2").arg(day, error.text())};
        }
    }
    if (!json && !writer.finish())
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
    return exportRecords(dataDir, day, SearchQuery{keyword, ip, -1, -1, {}, {}, {}, {}}, out);
}

Result<> exportRecords(const QString& dataDir, const QString& day, const SearchQuery& query, QIODevice& out,
                       ExportFormat format)
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
        const Result<> written = writeDays(*connection, days, query, out, format);
        if (!written)
            return oneLine(written.error());
        connection->commit();
    } catch (const DbError& dbError) {
        return oneLine(QStringLiteral("cannot read %1: %2").arg(path, dbError.text()));
    }
    return {};
}
