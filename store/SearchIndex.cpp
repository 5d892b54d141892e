#include "store/SearchIndex.h"

#include "platform/Database.h"
#include "platform/FileAccess.h"
#include "store/LogDatabase.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <SQLiteCpp/VariadicBind.h>
#include <sqlite3.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <bit>

namespace {

constexpr char kPostingList = 1;
constexpr char kPostingBitmap = 2;
constexpr int kBusyTimeoutMs = 5000;
// Steps of a statement between two looks at whether it should stop.
constexpr int kStepsPerInterruptCheck = 1000;

std::string utf8Of(const QString& text) { return text.toStdString(); }

// Runs a call on the index file, turning the engine's exceptions into DbError.
template <typename Call>
auto guarded(Call&& call) -> decltype(call())
{
    try {
        return call();
    } catch (const SQLite::Exception& e) {
        const int code = e.getExtendedErrorCode() > 0 ? e.getExtendedErrorCode() : DbError::kError;
        throw DbError(QStringLiteral("search index: ") + QString::fromUtf8(e.what()), code);
    }
}

IndexedDay dayOf(SQLite::Statement& row)
{
    IndexedDay day;
    day.id = row.getColumn(0).getInt64();
    day.tableName = QString::fromUtf8(row.getColumn(1).getText());
    day.tableSql = QString::fromUtf8(row.getColumn(2).getText());
    day.firstRowid = row.getColumn(3).getInt64();
    day.lastRowid = row.getColumn(4).getInt64();
    day.firstRowHash = row.getColumn(5).getInt64();
    day.lastRowHash = row.getColumn(6).getInt64();
    day.blockShift = row.getColumn(7).getInt();
    day.rowidIsKey = row.getColumn(8).getInt() != 0;
    day.rows = row.getColumn(9).getInt64();
    return day;
}

// Removes a day's entry and postings, within the caller's transaction.
void forgetDay(SQLite::Database& db, const QString& tableName)
{
    SQLite::Statement postings(db, "DELETE FROM postings WHERE day IN (SELECT id FROM days WHERE tableName = ?)");
    postings.bind(1, utf8Of(tableName));
    postings.exec();
    SQLite::Statement days(db, "DELETE FROM days WHERE tableName = ?");
    days.bind(1, utf8Of(tableName));
    days.exec();
}

void appendVarint(QByteArray& out, std::uint32_t value)
{
    while (value >= 0x80) {
        out.append(char((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.append(char(value));
}

const QString kSearchColumns = QStringLiteral("[时间],[IP地址],[信息]");

qint64 hashOfRow(const DbCursor& row, int firstColumn)
{
    return rowHash(row.utf8(firstColumn), row.utf8(firstColumn + 1), row.utf8(firstColumn + 2));
}

} // namespace

BlockSet::BlockSet(std::size_t blocks, bool all)
    : blocks_(blocks), words_((blocks + 63) / 64, all ? ~std::uint64_t(0) : 0)
{
    if (all && blocks % 64 != 0)
        words_.back() = (std::uint64_t(1) << (blocks % 64)) - 1;
}

void BlockSet::intersect(const BlockSet& other)
{
    for (std::size_t i = 0; i < words_.size(); ++i)
        words_[i] &= i < other.words_.size() ? other.words_[i] : 0;
}

void BlockSet::unite(const BlockSet& other)
{
    for (std::size_t i = 0; i < words_.size() && i < other.words_.size(); ++i)
        words_[i] |= other.words_[i];
}

std::size_t BlockSet::count() const
{
    std::size_t total = 0;
    for (const std::uint64_t word : words_)
        total += std::size_t(std::popcount(word));
    return total;
}

QByteArray BlockSet::encode(const std::vector<std::uint32_t>& ascendingBlocks, std::size_t blocks)
{
    QByteArray list(1, kPostingList);
    std::uint32_t previous = 0;
    for (const std::uint32_t block : ascendingBlocks) {
        appendVarint(list, block - previous);
        previous = block;
    }
    const std::size_t bitmapSize = 1 + (blocks + 7) / 8;
    if (std::size_t(list.size()) <= bitmapSize)
        return list;
    QByteArray bitmap(qsizetype(bitmapSize), 0);
    bitmap[0] = kPostingBitmap;
    for (const std::uint32_t block : ascendingBlocks)
        bitmap[qsizetype(1 + block / 8)] = char(uchar(bitmap[qsizetype(1 + block / 8)]) | (1U << (block % 8)));
    return bitmap;
}

BlockSet BlockSet::decode(const void* data, std::size_t size, std::size_t blocks)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (size == 0)
        return BlockSet(blocks, true);
    BlockSet set(blocks);
    if (bytes[0] == kPostingBitmap) {
        for (std::size_t i = 1; i < size; ++i) {
            for (unsigned bit = 0; bit < 8; ++bit) {
                const std::size_t block = (i - 1) * 8 + bit;
                if ((bytes[i] >> bit) & 1U) {
                    if (block >= blocks)
                        return BlockSet(blocks, true);
                    set.insert(block);
                }
            }
        }
        return set;
    }
    if (bytes[0] != kPostingList)
        return BlockSet(blocks, true);
    std::uint64_t block = 0;
    std::size_t i = 1;
    while (i < size) {
        std::uint64_t delta = 0;
        int shift = 0;
        for (;;) {
            if (i >= size || shift > 28)
                return BlockSet(blocks, true);
            const unsigned char byte = bytes[i++];
            delta |= std::uint64_t(byte & 0x7F) << shift;
            shift += 7;
            if (!(byte & 0x80))
                break;
        }
        block += delta;
        if (block >= blocks)
            return BlockSet(blocks, true);
        set.insert(std::size_t(block));
    }
    return set;
}

qint64 rowHash(QByteArrayView time, QByteArrayView ip, QByteArrayView message)
{
    // FNV-1a, 64 bits, over the three texts with a separator after each.
    std::uint64_t hash = 14695981039346656037ULL;
    const auto add = [&hash](QByteArrayView text) {
        for (const char byte : text) {
            hash ^= std::uint8_t(byte);
            hash *= 1099511628211ULL;
        }
        hash ^= 0x1F;
        hash *= 1099511628211ULL;
    };
    add(time);
    add(ip);
    add(message);
    return qint64(hash);
}

IndexCheck checkIndexedDay(DbConnection& connection, const IndexedDay& day)
{
    IndexCheck check;
    {
        const auto schema = connection.query(
            QStringLiteral("SELECT type, sql FROM sqlite_master WHERE tbl_name = ? AND type IN ('table', 'index')"),
            {day.tableName});
        bool sameTable = false;
        while (schema->next()) {
            if (schema->text(QStringLiteral("type")) != QStringLiteral("table"))
                return check;  // an index may change the order the store delivers rows in
            sameTable = schema->text(QStringLiteral("sql")).value_or(QString()) == day.tableSql;
        }
        if (!sameTable)
            return check;
    }
    const QString table = quoteName(day.tableName);
    {
        const auto first = connection.query(
            QStringLiteral("SELECT rowid, %1 FROM %2 ORDER BY rowid LIMIT 1").arg(kSearchColumns, table));
        if (!first->next() || first->utf8(0).toByteArray().toLongLong() != day.firstRowid
            || hashOfRow(*first, 1) != day.firstRowHash)
            return check;
    }
    {
        const auto last = connection.query(
            QStringLiteral("SELECT %1 FROM %2 WHERE rowid = %3").arg(kSearchColumns, table).arg(day.lastRowid));
        if (!last->next() || hashOfRow(*last, 0) != day.lastRowHash)
            return check;
    }
    const auto maximum = connection.query(QStringLiteral("SELECT max(rowid) FROM %1").arg(table));
    check.currentLastRowid = maximum->next() ? maximum->utf8(0).toByteArray().toLongLong() : 0;
    check.valid = check.currentLastRowid >= day.lastRowid;
    return check;
}

QString SearchIndex::pathIn(const QString& dataDir) { return QDir(dataDir).filePath(QLatin1String(kFileName)); }

SearchIndex::SearchIndex(const QString& dataDir, Mode mode)
{
    const QString path = pathIn(dataDir);
    if (mode == Mode::Read && !QFileInfo(path).isFile())
        throw DbError(QStringLiteral("search index: %1 does not exist").arg(path), DbError::kCantOpen);
    // It holds the senders' addresses and pieces of their messages: the
    // access of the database, never the engine's readable-by-everyone.
    if (mode == Mode::Write)
        static_cast<void>(makeRecordFile(path));
    guarded([&] {
        const int flags = mode == Mode::Read ? SQLite::OPEN_READONLY : SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE;
        db_ = std::make_unique<SQLite::Database>(utf8Of(path), flags | SQLITE_OPEN_NOMUTEX, kBusyTimeoutMs);
        if (mode == Mode::Write) {
            db_->exec("PRAGMA journal_mode=WAL");
            db_->exec("PRAGMA synchronous=NORMAL");
            ensureSchema();
        }
    });
}

SearchIndex::~SearchIndex() = default;

void SearchIndex::ensureSchema()
{
    const int format = db_->execAndGet("PRAGMA user_version").getInt();
    if (format == kFormat)
        return;
    SQLite::Transaction transaction(*db_);
    if (format != 0) {
        db_->exec("DROP TABLE IF EXISTS postings");
        db_->exec("DROP TABLE IF EXISTS days");
        db_->exec("DROP TABLE IF EXISTS addresses");
    }
    db_->exec("CREATE TABLE days (id INTEGER PRIMARY KEY, tableName TEXT NOT NULL UNIQUE, tableSql TEXT NOT NULL, "
              "firstRowid INTEGER NOT NULL, lastRowid INTEGER NOT NULL, firstRowHash INTEGER NOT NULL, "
              "lastRowHash INTEGER NOT NULL, blockShift INTEGER NOT NULL, rowidIsKey INTEGER NOT NULL, "
              "rows INTEGER NOT NULL)");
    db_->exec("CREATE TABLE postings (day INTEGER NOT NULL, gram INTEGER NOT NULL, blocks BLOB NOT NULL, "
              "PRIMARY KEY (day, gram)) WITHOUT ROWID");
    db_->exec("CREATE TABLE addresses (id INTEGER PRIMARY KEY, address TEXT NOT NULL UNIQUE)");
    db_->exec("PRAGMA user_version=" + std::to_string(kFormat));
    transaction.commit();
}

void SearchIndex::setInterruptCheck(std::function<bool()> shouldStop)
{
    shouldStop_ = std::move(shouldStop);
    if (!shouldStop_) {
        sqlite3_progress_handler(db_->getHandle(), 0, nullptr, nullptr);
        return;
    }
    sqlite3_progress_handler(
        db_->getHandle(), kStepsPerInterruptCheck,
        [](void* self) { return static_cast<SearchIndex*>(self)->shouldStop_() ? 1 : 0; }, this);
}

void SearchIndex::beginRead() { guarded([&] { db_->exec("BEGIN"); }); }

std::optional<IndexedDay> SearchIndex::day(const QString& tableName)
{
    return guarded([&]() -> std::optional<IndexedDay> {
        if (db_->execAndGet("PRAGMA user_version").getInt() != kFormat)
            return std::nullopt;
        SQLite::Statement row(*db_, "SELECT id, tableName, tableSql, firstRowid, lastRowid, firstRowHash, lastRowHash, "
                                    "blockShift, rowidIsKey, rows FROM days WHERE tableName = ?");
        row.bind(1, utf8Of(tableName));
        if (!row.executeStep())
            return std::nullopt;
        return dayOf(row);
    });
}

QStringList SearchIndex::indexedTables()
{
    return guarded([&] {
        QStringList names;
        SQLite::Statement rows(*db_, "SELECT tableName FROM days ORDER BY tableName");
        while (rows.executeStep())
            names << QString::fromUtf8(rows.getColumn(0).getText());
        return names;
    });
}

BlockSet SearchIndex::posting(const IndexedDay& day, searchgrams::Gram gram)
{
    SQLite::Statement row(*db_, "SELECT blocks FROM postings WHERE day = ? AND gram = ?");
    SQLite::bind(row, std::int64_t(day.id), std::int64_t(gram));
    if (!row.executeStep())
        return BlockSet(day.blockCount());
    const SQLite::Column blob = row.getColumn(0);
    return BlockSet::decode(blob.getBlob(), std::size_t(blob.getBytes()), day.blockCount());
}

BlockSet SearchIndex::blocksWithAll(const IndexedDay& day, const std::vector<searchgrams::Gram>& grams)
{
    return guarded([&] {
        BlockSet result(day.blockCount(), true);
        for (const searchgrams::Gram gram : grams) {
            result.intersect(posting(day, gram));
            if (result.count() == 0)
                return result;
        }
        return result;
    });
}

BlockSet SearchIndex::blocksAlwaysRead(const IndexedDay& day)
{
    return guarded([&] { return posting(day, searchgrams::kAlwaysRead); });
}

std::vector<qint64> SearchIndex::addressesLike(const QString& likePattern, int limit)
{
    return guarded([&] {
        std::vector<qint64> keys;
        SQLite::Statement rows(*db_, "SELECT id FROM addresses WHERE address LIKE ? LIMIT ?");
        SQLite::bind(rows, utf8Of(likePattern), limit + 1);
        while (rows.executeStep())
            keys.push_back(rows.getColumn(0).getInt64());
        return keys;
    });
}

BlockSet SearchIndex::blocksFromAddresses(const IndexedDay& day, const std::vector<qint64>& addressKeys)
{
    return guarded([&] {
        BlockSet result(day.blockCount());
        SQLite::Statement row(*db_, "SELECT blocks FROM postings WHERE day = ? AND gram = ?");
        for (const qint64 key : addressKeys) {
            row.reset();
            SQLite::bind(row, std::int64_t(day.id), std::int64_t(-key));
            if (!row.executeStep())
                continue;
            const SQLite::Column blob = row.getColumn(0);
            result.unite(BlockSet::decode(blob.getBlob(), std::size_t(blob.getBytes()), day.blockCount()));
        }
        return result;
    });
}

void SearchIndex::writeDay(const DayContent& content)
{
    guarded([&] {
        SQLite::Transaction transaction(*db_);
        const IndexedDay& day = content.day;
        forgetDay(*db_, day.tableName);
        SQLite::Statement insertDay(*db_, "INSERT INTO days (tableName, tableSql, firstRowid, lastRowid, firstRowHash, "
                                          "lastRowHash, blockShift, rowidIsKey, rows) VALUES (?,?,?,?,?,?,?,?,?)");
        SQLite::bind(insertDay, utf8Of(day.tableName), utf8Of(day.tableSql), std::int64_t(day.firstRowid),
                     std::int64_t(day.lastRowid), std::int64_t(day.firstRowHash), std::int64_t(day.lastRowHash),
                     day.blockShift, day.rowidIsKey ? 1 : 0, std::int64_t(day.rows));
        insertDay.exec();
        const std::int64_t dayId = db_->getLastInsertRowid();

        SQLite::Statement insertPosting(*db_, "INSERT INTO postings (day, gram, blocks) VALUES (?,?,?)");
        const auto addPosting = [&](std::int64_t gram, const QByteArray& blocks) {
            insertPosting.reset();
            SQLite::bind(insertPosting, dayId, gram);
            insertPosting.bind(3, blocks.constData(), int(blocks.size()));
            insertPosting.exec();
        };
        for (const auto& [gram, blocks] : content.grams)
            addPosting(gram, blocks);

        SQLite::Statement addAddress(*db_, "INSERT OR IGNORE INTO addresses (address) VALUES (?)");
        SQLite::Statement findAddress(*db_, "SELECT id FROM addresses WHERE address = ?");
        for (const auto& [address, blocks] : content.addresses) {
            // Bound as text of its own length: the address compares as the day table's text does.
            const std::string text(address.constData(), std::size_t(address.size()));
            addAddress.reset();
            addAddress.bind(1, text);
            addAddress.exec();
            findAddress.reset();
            findAddress.bind(1, text);
            if (findAddress.executeStep())
                addPosting(-findAddress.getColumn(0).getInt64(), blocks);
        }
        transaction.commit();
    });
}

void SearchIndex::forget(const QStringList& tableNames)
{
    guarded([&] {
        SQLite::Transaction transaction(*db_);
        for (const QString& name : tableNames)
            forgetDay(*db_, name);
        transaction.commit();
    });
}

void SearchIndex::forgetRenumberable()
{
    guarded([&] {
        SQLite::Transaction transaction(*db_);
        db_->exec("DELETE FROM postings WHERE day IN (SELECT id FROM days WHERE rowidIsKey = 0)");
        db_->exec("DELETE FROM days WHERE rowidIsKey = 0");
        transaction.commit();
    });
}

void forgetIndexedDays(const QString& dataDir, const QStringList& tableNames)
{
    if (tableNames.isEmpty() || !QFileInfo(SearchIndex::pathIn(dataDir)).isFile())
        return;
    try {
        SearchIndex(dataDir, SearchIndex::Mode::Write).forget(tableNames);
    } catch (const DbError&) {
        removeSearchIndex(dataDir);
    }
}

void forgetRenumberedDays(const QString& dataDir)
{
    if (!QFileInfo(SearchIndex::pathIn(dataDir)).isFile())
        return;
    try {
        SearchIndex(dataDir, SearchIndex::Mode::Write).forgetRenumberable();
    } catch (const DbError&) {
        removeSearchIndex(dataDir);
    }
}

void removeSearchIndex(const QString& dataDir)
{
    const QString path = SearchIndex::pathIn(dataDir);
    for (const QString& file : {path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")})
        QFile::remove(file);
}
