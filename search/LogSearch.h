#pragma once

#include "store/LogRecord.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class DbConnection;
class LogDatabase;

// The WHERE condition of a log search with its LIKE patterns as parameters.
// The user's texts only ever travel as parameters, so no keyword or address
// fragment can change the statement; '%' and '_' inside them keep their
// wildcard meaning.
struct SearchCondition {
    QString text;
    QStringList params;
};

// What a search or an export looks for; every part is optional and the
// parts set are all required. keyword, ipFragment, host and app are matched
// inside the message, the sender's address, the host field and the program
// field (LIKE '%…%'); maxSeverity keeps severities up to that number (0..7),
// facility exactly that one (0..23); from and to bound the arrival time 时间
// (inclusive, "yyyy-MM-dd HH:mm:ss" as normalizedTimeBound gives them).
// Records of days stored without fields match no field criterion.
struct SearchQuery {
    QString keyword;
    QString ipFragment;
    int maxSeverity = -1;
    int facility = -1;
    QString host;
    QString app;
    QString from;
    QString to;

    // Whether it asks for anything beyond the keyword and the address.
    bool hasFieldCriteria() const { return maxSeverity >= 0 || facility >= 0 || !host.isEmpty() || !app.isEmpty(); }
    bool isEmpty() const
    {
        return keyword.isEmpty() && ipFragment.isEmpty() && !hasFieldCriteria() && from.isEmpty() && to.isEmpty();
    }
};

// The condition of a query on one day's table, which has the field columns
// or not. The keyword and address tests come first, as they always did.
SearchCondition buildSearchCondition(const SearchQuery& query, bool tableHasFields);
// The condition for a keyword (matched inside the message) and an address
// fragment (matched inside the sender's address). An empty input adds no
// test; with both, the message test comes first, joined by " AND ".
SearchCondition buildSearchCondition(const QString& keyword, const QString& ipFragment);

// A time bound as typed ("yyyy-MM-dd", "yyyy-MM-dd HH:mm" or
// "yyyy-MM-dd HH:mm:ss") in the stored form "yyyy-MM-dd HH:mm:ss": the
// missing part is the start of the day or minute for a lower bound, its end
// for an upper one. Empty for empty text; nullopt for any other form.
std::optional<QString> normalizedTimeBound(const QString& text, bool upper);

// The query of one day: at most LogSearch::kRowsPerDay matching rows of that
// day's table, in the order the store delivers them. It selects the time, the
// address and the message, followed by the field columns (fieldColumnsSql)
// when withFields is set (only for a table that has them).
QString daySearchSql(const QString& day, const QString& conditionText, bool withFields = false);

// What a search looks for. Besides the keyword and the address fragment, a
// caller may give every day's table a further condition on its rows (an SQL
// expression over the table's columns with its parameters, bound in order
// after the patterns): dayCondition is asked once per day, with the search's
// connection, and answers nullopt for no further condition. A search needs a
// keyword, a fragment or a dayCondition.
struct SearchRequest {
    QString keyword;
    QString ipFragment;
    std::function<std::optional<SearchCondition>(DbConnection& connection, const QString& day)> dayCondition;
};

// The request of a query: its keyword and address fragment, and its other
// criteria as every day's further condition (fitted to whether that day's
// table has the field columns).
SearchRequest searchRequestFor(const SearchQuery& query);

// Looks for records over a list of days, one day after the other, on a
// private connection that is closed before run() returns.
//
// The lines are always exactly those of the plain query of each day
// (daySearchSql with the condition): the same rows, in the same order, at
// most kRowsPerDay a day. Where the search index (store/SearchIndex.h) holds
// a day and still fits its table, only the blocks of rows that can match are
// read, in rowid order, each with the same condition; every other day is read
// whole.
class LogSearch {
public:
    static constexpr int kRowsPerDay = 5000;
    using LineSink = std::function<void(const QString& line)>;
    using RecordSink = std::function<void(const LogRecord& record)>;

    // How a search is followed: every line found, every record found (with
    // the fields its day's table holds; none for a day stored without them),
    // each day done (with how many are done), and whether to stop (looked at
    // often, also inside a running statement). Any may be empty; the fields
    // are read only when onRecord is set. onLine and onRecord see the same
    // rows, onRecord first.
    struct Progress {
        LineSink onLine;
        RecordSink onRecord;
        std::function<void(int daysDone)> onDayDone;
        std::function<bool()> shouldStop;
    };
    enum class Outcome { Finished, Stopped };

    explicit LogSearch(LogDatabase& database) : database_(database) {}

    // Hands every matching record to progress.onRecord and, as a log line, to
    // progress.onLine: the days in the given order, rows within a day as the
    // store delivers them. Returns Stopped as soon as shouldStop says so. The
    // first failure throws DbError with the store's own text (also when the
    // database cannot be opened, even with no days to search); lines handed
    // over before it stay with the caller and later days are not searched. A
    // request without keyword, fragment and dayCondition throws
    // std::invalid_argument.
    Outcome run(const QStringList& days, const SearchRequest& request, const Progress& progress);
    // The same for a keyword and an address fragment.
    void run(const QStringList& days, const QString& keyword, const QString& ipFragment, const LineSink& onLine);

    // The same for a query; an empty one throws std::invalid_argument.
    void run(const QStringList& days, const SearchQuery& query, const LineSink& onLine);

    // The same, collecting the lines (for callers that do not need them one by one).
    QStringList find(const QStringList& days, const QString& keyword, const QString& ipFragment);

private:
    LogDatabase& database_;
};
