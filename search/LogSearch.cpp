#include "search/LogSearch.h"

#include "store/LogDatabase.h"
#include "store/LogRecord.h"

#include <stdexcept>

namespace {

const QString kTimeColumn = QStringLiteral("时间");
const QString kIpColumn = QStringLiteral("IP地址");
const QString kMessageColumn = QStringLiteral("信息");

// Column names are written between brackets: unlike double quotes, which
// SQLite falls back to reading as a string when no such column exists, a
// bracketed name can only ever be a column.
QString columnName(const QString& column) { return QLatin1Char('[') + column + QLatin1Char(']'); }

QString containsPattern(const QString& fragment) { return QLatin1Char('%') + fragment + QLatin1Char('%'); }

void addLikeTest(SearchCondition& condition, const QString& column, const QString& fragment)
{
    if (fragment.isEmpty())
        return;
    if (!condition.text.isEmpty())
        condition.text += QStringLiteral(" AND ");
    condition.text += columnName(column) + QStringLiteral(" LIKE ?");
    condition.params << containsPattern(fragment);
}

QString lineOf(const DbCursor& row)
{
    return logLine(row.text(kTimeColumn).value_or(QString()), row.text(kIpColumn).value_or(QString()),
                   row.text(kMessageColumn).value_or(QString()));
}

} // namespace

SearchCondition buildSearchCondition(const QString& keyword, const QString& ipFragment)
{
    SearchCondition condition;
    addLikeTest(condition, kMessageColumn, keyword);
    addLikeTest(condition, kIpColumn, ipFragment);
    return condition;
}

QString daySearchSql(const QString& day, const QString& conditionText)
{
    return QStringLiteral("SELECT %1,%2,%3 FROM %4 WHERE %5 LIMIT %6")
        .arg(columnName(kTimeColumn), columnName(kIpColumn), columnName(kMessageColumn),
             quoteName(dayTableName(day)), conditionText, QString::number(LogSearch::kRowsPerDay));
}

void LogSearch::run(const QStringList& days, const QString& keyword, const QString& ipFragment,
                    const LineSink& onLine)
{
    const SearchCondition condition = buildSearchCondition(keyword, ipFragment);
    if (condition.text.isEmpty())
        throw std::invalid_argument("a search needs a keyword or an address fragment");
    const std::unique_ptr<DbConnection> connection = database_.openConnection();
    for (const QString& day : days) {
        const std::unique_ptr<DbCursor> rows = connection->query(daySearchSql(day, condition.text), condition.params);
        while (rows->next())
            onLine(lineOf(*rows));
    }
}

QStringList LogSearch::find(const QStringList& days, const QString& keyword, const QString& ipFragment)
{
    QStringList lines;
    run(days, keyword, ipFragment, [&lines](const QString& line) { lines << line; });
    return lines;
}
