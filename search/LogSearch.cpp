#include "search/LogSearch.h"

#include "store/LogDatabase.h"
#include "store/LogRecord.h"
#include "store/SearchGrams.h"
#include "store/SearchIndex.h"

#include <QDateTime>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

const QString kTimeColumn = QStringLiteral("时间");
const QString kIpColumn = QStringLiteral("IP地址");
const QString kMessageColumn = QStringLiteral("信息");

// An address fragment that matches more addresses than this is not worth
// looking up in the index: rows from so many senders are everywhere.
constexpr int kMostAddressesLookedUp = 20000;

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

// The line of a row whose first three columns are the time, the address and the message.
QString lineOf(const DbCursor& row)
{
    return logLine(QString::fromUtf8(row.utf8(0)), QString::fromUtf8(row.utf8(1)), QString::fromUtf8(row.utf8(2)));
}

// Rowids first to last, both included; last < 0 for every rowid from first on.
struct RowidRange {
    qint64 first;
    qint64 last;
};

// Where the index says the rows of a day that can match lie.
class IndexPlanner {
public:
    IndexPlanner(const QString& dataDir, const SearchRequest& request, const std::function<bool()>& shouldStop)
    {
        try {
            index_ = std::make_unique<SearchIndex>(dataDir, SearchIndex::Mode::Read);
            if (shouldStop)
                index_->setInterruptCheck(shouldStop);
            // One read of the index for the whole search.
            index_->beginRead();
            if (!request.ipFragment.isEmpty()) {
                std::vector<qint64> keys = index_->addressesLike(containsPattern(request.ipFragment), kMostAddressesLookedUp);
                if (int(keys.size()) <= kMostAddressesLookedUp)
                    addressKeys_ = std::move(keys);
            }
        } catch (const DbError& error) {
            if (error.code() == DbError::kInterrupted)
                throw;
            // No index, or one that cannot be read: every day is read whole.
            index_.reset();
        }
        if (!request.keyword.isEmpty())
            grams_ = searchgrams::requiredGrams(request.keyword);
    }

    // The rowid ranges of the day that can hold a match, ascending; nullopt
    // when the day is to be read whole (no index for it, or one that no
    // longer fits its table).
    std::optional<std::vector<RowidRange>> ranges(DbConnection& connection, const QString& day)
    {
        if (!index_)
            return std::nullopt;
        try {
            const std::optional<IndexedDay> indexed = index_->day(dayTableName(day));
            if (!indexed)
                return std::nullopt;
            const IndexCheck check = checkIndexedDay(connection, *indexed);
            if (!check.valid)
                return std::nullopt;
            BlockSet blocks(indexed->blockCount(), true);
            if (!grams_.empty())
                blocks = index_->blocksWithAll(*indexed, grams_);
            if (addressKeys_)
                blocks.intersect(index_->blocksFromAddresses(*indexed, *addressKeys_));
            blocks.unite(index_->blocksAlwaysRead(*indexed));
            std::vector<RowidRange> ranges = rangesOf(blocks, *indexed);
            if (check.currentLastRowid > indexed->lastRowid)
                ranges.push_back({indexed->lastRowid + 1, -1});
            return ranges;
        } catch (const DbError& error) {
            if (error.code() == DbError::kInterrupted)
                throw;
            // The plain query reads the day instead, and reports what is wrong with its table.
            return std::nullopt;
        }
    }

private:
    // Runs of consecutive blocks, as rowid ranges that end with the index's last rowid.
    static std::vector<RowidRange> rangesOf(const BlockSet& blocks, const IndexedDay& day)
    {
        std::vector<RowidRange> ranges;
        const int shift = day.blockShift;
        for (std::size_t block = 0; block < blocks.blocks(); ++block) {
            if (!blocks.contains(block))
                continue;
            const qint64 first = qint64(block) << shift;
            const qint64 last = std::min(((qint64(block) + 1) << shift) - 1, day.lastRowid);
            if (!ranges.empty() && ranges.back().last + 1 == first)
                ranges.back().last = last;
            else
                ranges.push_back({first, last});
        }
        return ranges;
    }

    std::unique_ptr<SearchIndex> index_;
    std::vector<searchgrams::Gram> grams_;
    std::optional<std::vector<qint64>> addressKeys_;
};

// Reads one query's rows into lines and records; returns how many it handed
// over. The rows hold the field columns after the first three when withFields.
int deliver(DbConnection& connection, const QString& sql, const QStringList& params, bool withFields,
            const LogSearch::Progress& progress)
{
    const std::unique_ptr<DbCursor> rows = connection.query(sql, params);
    int delivered = 0;
    while (rows->next()) {
        if (progress.onRecord) {
            LogRecord record(QString::fromUtf8(rows->utf8(0)), QString::fromUtf8(rows->utf8(1)),
                             QString::fromUtf8(rows->utf8(2)));
            if (withFields)
                record.fields = storedFields(*rows);
            progress.onRecord(record);
            if (progress.onLine)
                progress.onLine(logLine(record));
        } else if (progress.onLine) {
            progress.onLine(lineOf(*rows));
        }
        ++delivered;
        if (progress.shouldStop && progress.shouldStop())
            break;
    }
    return delivered;
}

// The select list of a day's query: time, address, message, and the field columns when withFields.
QString selectList(bool withFields)
{
    QString columns = columnName(kTimeColumn) + QLatin1Char(',') + columnName(kIpColumn) + QLatin1Char(',')
                    + columnName(kMessageColumn);
    if (withFields)
        columns += QLatin1Char(',') + fieldColumnsSql();
    return columns;
}

void searchDay(DbConnection& connection, IndexPlanner& planner, const QString& day, const SearchRequest& request,
               const LogSearch::Progress& progress)
{
    SearchCondition condition = buildSearchCondition(request.keyword, request.ipFragment);
    if (request.dayCondition) {
        if (const std::optional<SearchCondition> more = request.dayCondition(connection, day)) {
            if (!condition.text.isEmpty())
                condition.text += QStringLiteral(" AND ");
            condition.text += QLatin1Char('(') + more->text + QLatin1Char(')');
            condition.params += more->params;
        }
    }
    if (condition.text.isEmpty())
        condition.text = QStringLiteral("1");

    // One read transaction for the day: its statements need not take the file's locks one by one.
    connection.begin();
    // The fields are read only for a caller that takes records, from a table that has them.
    const bool withFields = progress.onRecord && holdsFieldColumns(connection, dayTableName(day));
    const std::optional<std::vector<RowidRange>> ranges = planner.ranges(connection, day);
    if (!ranges) {
        deliver(connection, daySearchSql(day, condition.text, withFields), condition.params, withFields, progress);
        connection.commit();
        return;
    }
    const QString select
        = QStringLiteral("SELECT %1 FROM %2 WHERE ").arg(selectList(withFields), quoteName(dayTableName(day)));
    int left = LogSearch::kRowsPerDay;
    for (const RowidRange& range : *ranges) {
        if (left == 0 || (progress.shouldStop && progress.shouldStop()))
            break;
        const QString rowids = range.last < 0 ? QStringLiteral("rowid > %1").arg(range.first - 1)
                                              : QStringLiteral("rowid BETWEEN %1 AND %2").arg(range.first).arg(range.last);
        left -= deliver(connection,
                        select + rowids + QStringLiteral(" AND ") + condition.text + QStringLiteral(" LIMIT %1").arg(left),
                        condition.params, withFields, progress);
    }
    connection.commit();
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

SearchRequest searchRequestFor(const SearchQuery& query)
{
    SearchRequest request{query.keyword, query.ipFragment, {}};
    SearchQuery further = query;
    further.keyword.clear();
    further.ipFragment.clear();
    if (further.isEmpty())
        return request;
    request.dayCondition = [further](DbConnection& connection, const QString& day) -> std::optional<SearchCondition> {
        // Which columns a day has is asked only when a criterion needs them.
        const bool withFields = further.hasFieldCriteria() && holdsFieldColumns(connection, dayTableName(day));
        return buildSearchCondition(further, withFields);
    };
    return request;
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

QString daySearchSql(const QString& day, const QString& conditionText, bool withFields)
{
    return QStringLiteral("SELECT %1 FROM %2 WHERE %3 LIMIT %4")
        .arg(selectList(withFields), quoteName(dayTableName(day)), conditionText,
             QString::number(LogSearch::kRowsPerDay));
}

LogSearch::Outcome LogSearch::run(const QStringList& days, const SearchRequest& request, const Progress& progress)
{
    if (request.keyword.isEmpty() && request.ipFragment.isEmpty() && !request.dayCondition)
        throw std::invalid_argument("a search needs a keyword, an address fragment or a further condition");
    const auto stopped = [&progress] { return progress.shouldStop && progress.shouldStop(); };
    const std::unique_ptr<DbConnection> connection = database_.openConnection();
    if (progress.shouldStop)
        connection->setInterruptCheck(progress.shouldStop);
    try {
        IndexPlanner planner(database_.programDir(), request, progress.shouldStop);
        for (int done = 0; done < days.size(); ++done) {
            if (stopped())
                return Outcome::Stopped;
            searchDay(*connection, planner, days[done], request, progress);
            if (progress.onDayDone)
                progress.onDayDone(done + 1);
        }
    } catch (const DbError& error) {
        if (error.code() == DbError::kInterrupted && stopped())
            return Outcome::Stopped;
        throw;
    }
    return stopped() ? Outcome::Stopped : Outcome::Finished;
}

void LogSearch::run(const QStringList& days, const QString& keyword, const QString& ipFragment, const LineSink& onLine)
{
    Progress progress;
    progress.onLine = onLine;
    run(days, SearchRequest{keyword, ipFragment, {}}, progress);
}

void LogSearch::run(const QStringList& days, const SearchQuery& query, const LineSink& onLine)
{
    if (query.isEmpty())
        throw std::invalid_argument("a search needs at least one criterion");
    Progress progress;
    progress.onLine = onLine;
    run(days, searchRequestFor(query), progress);
}

QStringList LogSearch::find(const QStringList& days, const QString& keyword, const QString& ipFragment)
{
    QStringList lines;
    run(days, keyword, ipFragment, [&lines](const QString& line) { lines << line; });
    return lines;
}
