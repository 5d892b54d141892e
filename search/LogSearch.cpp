#include "search/LogSearch.h"

#include "store/LogDatabase.h"
#include "store/LogRecord.h"

#include <QDateTime>
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

void addTest(SearchCondition& condition, const QString& test)
{
    if (!condition.text.isEmpty())
        condition.text += QStringLiteral(" AND ");
    condition.text += test;
}

QString lineOf(const DbCursor& row)
{
    return logLine(row.text(kTimeColumn).value_or(QString()), row.text(kIpColumn).value_or(QString()),
                   row.text(kMessageColumn).value_or(QString()));
}

} // namespace

SearchCondition buildSearchCondition(const SearchQuery& query, bool tableHasFields)
{
    SearchCondition condition;
    addLikeTest(condition, kMessageColumn, query.keyword);
    addLikeTest(condition, kIpColumn, query.ipFragment);
    if (query.hasFieldCriteria() && !tableHasFields) {
        addTest(condition, QStringLiteral("0")); // a day stored without fields has none to match
        return condition;
    }
    if (query.maxSeverity >= 0) {
        addTest(condition, columnName(QStringLiteral("severity")) + QStringLiteral(" <= ?"));
        condition.params << QString::number(query.maxSeverity);
    }
    if (query.facility >= 0) {
        addTest(condition, columnName(QStringLiteral("facility")) + QStringLiteral(" = ?"));
        condition.params << QString::number(query.facility);
    }
    addLikeTest(condition, QStringLiteral("host"), query.host);
    addLikeTest(condition, QStringLiteral("app"), query.app);
    if (!query.from.isEmpty()) {
        addTest(condition, columnName(kTimeColumn) + QStringLiteral(" >= ?"));
        condition.params << query.from;
    }
    if (!query.to.isEmpty()) {
        addTest(condition, columnName(kTimeColumn) + QStringLiteral(" <= ?"));
        condition.params << query.to;
    }
    return condition;
}

SearchCondition buildSearchCondition(const QString& keyword, const QString& ipFragment)
{
    return buildSearchCondition(SearchQuery{keyword, ipFragment, -1, -1, {}, {}, {}, {}}, false);
}

std::optional<QString> normalizedTimeBound(const QString& text, bool upper)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return QString();
    static const char* const kForms[] = {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-dd HH:mm", "yyyy-MM-dd"};
    static const char* const kLowerEnds[] = {"", ":00", " 00:00:00"};
    static const char* const kUpperEnds[] = {"", ":59", " 23:59:59"};
    for (int form = 0; form < 3; ++form) {
        const QDateTime time = QDateTime::fromString(trimmed, QLatin1StringView(kForms[form]));
        if (time.isValid() && time.toString(QLatin1StringView(kForms[form])) == trimmed)
            return trimmed + QLatin1StringView(upper ? kUpperEnds[form] : kLowerEnds[form]);
    }
    return std::nullopt;
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
    if (keyword.isEmpty() && ipFragment.isEmpty())
        throw std::invalid_argument("a search needs a keyword or an address fragment");
    run(days, SearchQuery{keyword, ipFragment, -1, -1, {}, {}, {}, {}}, onLine);
}

void LogSearch::run(const QStringList& days, const SearchQuery& query, const LineSink& onLine)
{
    if (query.isEmpty())
        throw std::invalid_argument("a search needs at least one criterion");
    const std::unique_ptr<DbConnection> connection = database_.openConnection();
    for (const QString& day : days) {
        // Which columns a day has is asked only when a criterion needs them.
        const bool withFields = query.hasFieldCriteria() && holdsFieldColumns(*connection, dayTableName(day));
        const SearchCondition condition = buildSearchCondition(query, withFields);
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
