#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

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
// day's table, in the order the store delivers them.
QString daySearchSql(const QString& day, const QString& conditionText);

// Looks for records by keyword and/or address fragment over a list of days,
// one query per day on a private connection that is closed before run()
// returns.
class LogSearch {
public:
    static constexpr int kRowsPerDay = 5000;
    using LineSink = std::function<void(const QString& line)>;

    explicit LogSearch(LogDatabase& database) : database_(database) {}

    // Hands every matching record, as a log line, to onLine: the days in the
    // given order, rows within a day as the store delivers them. The first
    // failure throws DbError with the store's own text (also when the database
    // cannot be opened, even with no days to search); lines handed over before
    // it stay with the caller and later days are not searched. Both inputs
    // empty throws std::invalid_argument.
    void run(const QStringList& days, const QString& keyword, const QString& ipFragment, const LineSink& onLine);
    // The same for a query; an empty one throws std::invalid_argument.
    void run(const QStringList& days, const SearchQuery& query, const LineSink& onLine);

    // The same, collecting the lines (for callers that do not need them one by one).
    QStringList find(const QStringList& days, const QString& keyword, const QString& ipFragment);

private:
    LogDatabase& database_;
};
