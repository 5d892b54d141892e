#pragma once

#include <QString>
#include <QStringList>
#include <functional>

class LogDatabase;

// The WHERE condition of a log search with its LIKE patterns as parameters.
// The user's texts only ever travel as parameters, so no keyword or address
// fragment can change the statement; '%' and '_' inside them keep their
// wildcard meaning.
struct SearchCondition {
    QString text;
    QStringList params;
};

// The condition for a keyword (matched inside the message) and an address
// fragment (matched inside the sender's address). An empty input adds no
// test; with both, the message test comes first, joined by " AND ".
SearchCondition buildSearchCondition(const QString& keyword, const QString& ipFragment);

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

    // The same, collecting the lines (for callers that do not need them one by one).
    QStringList find(const QStringList& days, const QString& keyword, const QString& ipFragment);

private:
    LogDatabase& database_;
};
