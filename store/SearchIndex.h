#pragma once

#include "store/SearchGrams.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class DbConnection;

namespace SQLite {
class Database;
}

// The blocks of one day's table that a search has to read: a block is a run
// of 2^shift consecutive rowids (block b holds rowids b << shift up to
// ((b + 1) << shift) - 1).
class BlockSet {
public:
    explicit BlockSet(std::size_t blocks = 0, bool all = false);
    std::size_t blocks() const { return blocks_; }
    bool contains(std::size_t block) const { return (words_[block / 64] >> (block % 64)) & 1U; }
    void insert(std::size_t block) { words_[block / 64] |= std::uint64_t(1) << (block % 64); }
    void intersect(const BlockSet& other);
    void unite(const BlockSet& other);
    std::size_t count() const;

    // A posting as the index keeps it: the smaller of a list of block numbers
    // (each the distance to the one before, 7 bits a byte) and a bitmap.
    static QByteArray encode(const std::vector<std::uint32_t>& ascendingBlocks, std::size_t blocks);
    // Reads a posting; a damaged one reads as every block (never too few).
    static BlockSet decode(const void* data, std::size_t size, std::size_t blocks);

private:
    std::size_t blocks_;
    std::vector<std::uint64_t> words_;
};

// What the index knows of one day's table, and by what it tells that the
// table is still the one it was built from.
struct IndexedDay {
    qint64 id = 0;
    QString tableName;
    // The table's CREATE statement as the database keeps it.
    QString tableSql;
    qint64 firstRowid = 0;
    qint64 lastRowid = 0;
    // rowHash() of the first and the last row when the index was built.
    qint64 firstRowHash = 0;
    qint64 lastRowHash = 0;
    int blockShift = 8;
    // The rowid is the table's INTEGER PRIMARY KEY: compaction keeps it.
    bool rowidIsKey = false;
    qint64 rows = 0;

    std::size_t blockCount() const { return std::size_t(lastRowid >> blockShift) + 1; }
};

// What a search looks at in a row, hashed to tell a row from another one
// that took its place: the time, address and message texts.
qint64 rowHash(QByteArrayView time, QByteArrayView ip, QByteArrayView message);

// Whether an index entry still describes its day's table in the database the
// connection reads, checked in a few lookups (no pass over the rows): the
// same CREATE statement, no index on the table, the same first row, and the
// row the index ended with still there unchanged. Rows added after that one
// (rowid above lastRowid) are allowed: a search reads them without the index.
struct IndexCheck {
    bool valid = false;
    // The table's largest rowid now.
    qint64 currentLastRowid = 0;
};
IndexCheck checkIndexedDay(DbConnection& connection, const IndexedDay& day);

// The search index of the closed days, a SQLite file of its own beside the
// log database (never a table in it: every ordinary table there is a day).
// Per day table it keeps, for every gram of the messages (SearchGrams.h), the
// blocks of rows that hold it, and for every sender address the blocks of
// rows from it; the addresses themselves are kept once for all days.
//
// Failures throw DbError with the engine's text.
class SearchIndex {
public:
    static constexpr char kFileName[] = "syslog_index.db";
    // The format of the file; a file of another format is emptied and built anew.
    static constexpr int kFormat = 1;

    static QString pathIn(const QString& dataDir);

    enum class Mode { Read, Write };
    // Read: fails (DbError) when the file does not exist. Write: creates it.
    SearchIndex(const QString& dataDir, Mode mode);
    ~SearchIndex();
    Q_DISABLE_COPY(SearchIndex)

    // Called, on the connection's thread, every so many steps of a long
    // statement; true stops the statement (it fails as interrupted).
    void setInterruptCheck(std::function<bool()> shouldStop);

    // Reads what follows as of one moment, until the index is closed.
    void beginRead();

    std::optional<IndexedDay> day(const QString& tableName);
    QStringList indexedTables();

    // The blocks of the day that hold every gram; a gram the day does not
    // hold leaves none.
    BlockSet blocksWithAll(const IndexedDay& day, const std::vector<searchgrams::Gram>& grams);
    // The blocks that must be read whatever the pattern (rows that are not valid UTF-8).
    BlockSet blocksAlwaysRead(const IndexedDay& day);
    // The keys of the addresses that match the LIKE pattern, at most limit + 1 of them.
    std::vector<qint64> addressesLike(const QString& likePattern, int limit);
    // The blocks of the day with rows from any of these addresses.
    BlockSet blocksFromAddresses(const IndexedDay& day, const std::vector<qint64>& addressKeys);

    // A day's index as the builder collects it.
    struct DayContent {
        IndexedDay day;
        // Postings by gram.
        std::vector<std::pair<searchgrams::Gram, QByteArray>> grams;
        // Postings by address text.
        std::vector<std::pair<QByteArray, QByteArray>> addresses;
    };
    // Puts a day's index in place of the one it had, in one transaction.
    void writeDay(const DayContent& content);
    // Forgets the index of these tables.
    void forget(const QStringList& tableNames);
    // Forgets every day whose rowids compaction may renumber.
    void forgetRenumberable();

private:
    void ensureSchema();
    // The day's blocks that hold the gram: none when the day does not hold it.
    BlockSet posting(const IndexedDay& day, searchgrams::Gram gram);

    std::unique_ptr<SQLite::Database> db_;
    std::function<bool()> shouldStop_;
};

// Forgets the index of day tables that were dropped, in dataDir. Without an
// index file nothing happens; an index that cannot be changed is removed (a
// missing index only makes searches read every day whole).
void forgetIndexedDays(const QString& dataDir, const QStringList& tableNames);
// The same for the days whose rowids a compaction may have renumbered.
void forgetRenumberedDays(const QString& dataDir);
// Removes the index file and the engine's files beside it.
void removeSearchIndex(const QString& dataDir);
