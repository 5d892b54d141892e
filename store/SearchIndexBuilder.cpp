#include "store/SearchIndexBuilder.h"

#include "platform/Clock.h"
#include "platform/Database.h"
#include "store/LogDatabase.h"
#include "store/SearchIndex.h"

#include <QDir>
#include <QHash>
#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <thread>
#include <vector>

#ifdef Q_OS_LINUX
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

using searchgrams::Gram;

namespace {

// Rows read by one statement, in one read transaction (a few milliseconds).
constexpr int kRowsPerPass = 4096;
constexpr std::chrono::milliseconds kPauseBetweenPasses{1};
// A table whose rowids spread over more blocks than this many per row (or
// that start below 1) is read whole by searches instead.
constexpr qint64 kMostBlocksPerRow = 4;
constexpr std::uint32_t kNoBlock = std::numeric_limits<std::uint32_t>::max();

// Every block in which a key occurs, in ascending order, each once.
struct Posting {
    std::uint32_t lastBlock = kNoBlock;
    std::vector<std::uint32_t> blocks;

    void add(std::uint32_t block)
    {
        if (block == lastBlock)
            return;
        lastBlock = block;
        blocks.push_back(block);
    }
};

// The postings of the grams of one day, in an open-addressing table: a
// lookup per gram of every row is the builder's main work.
class GramPostings {
public:
    GramPostings() : slots_(std::size_t(1) << 16) {}

    void add(Gram gram, std::uint32_t block)
    {
        std::size_t i = slotOf(gram);
        for (;;) {
            Slot& slot = slots_[i];
            if (slot.posting != kNoBlock && slot.gram == gram) {
                postings_[slot.posting].add(block);
                return;
            }
            if (slot.posting == kNoBlock) {
                slot.gram = gram;
                slot.posting = std::uint32_t(postings_.size());
                postings_.emplace_back().add(block);
                if (postings_.size() * 2 > slots_.size())
                    grow();
                return;
            }
            i = (i + 1) & (slots_.size() - 1);
        }
    }

    template <typename Visit>
    void forEach(Visit&& visit) const
    {
        for (const Slot& slot : slots_)
            if (slot.posting != kNoBlock)
                visit(slot.gram, postings_[slot.posting].blocks);
    }

private:
    struct Slot {
        Gram gram = 0;
        std::uint32_t posting = kNoBlock;
    };

    std::size_t slotOf(Gram gram) const
    {
        const std::uint64_t mixed = std::uint64_t(gram) * 0x9E3779B97F4A7C15ULL;
        return std::size_t(mixed >> 20) & (slots_.size() - 1);
    }

    void grow()
    {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.posting == kNoBlock)
                continue;
            std::size_t i = slotOf(slot.gram);
            while (slots_[i].posting != kNoBlock)
                i = (i + 1) & (slots_.size() - 1);
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::vector<Posting> postings_;
};

struct TableShape {
    QString sql;
    bool hasIndex = false;
    bool rowidIsKey = false;
};

TableShape shapeOf(DbConnection& source, const QString& tableName)
{
    TableShape shape;
    const auto schema = source.query(
        QStringLiteral("SELECT type, sql FROM sqlite_master WHERE tbl_name = ? AND type IN ('table', 'index')"),
        {tableName});
    while (schema->next()) {
        if (schema->text(QStringLiteral("type")) == QStringLiteral("table"))
            shape.sql = schema->text(QStringLiteral("sql")).value_or(QString());
        else
            shape.hasIndex = true;
    }
    // The rowid is the key when exactly one column, declared INTEGER, is the primary key.
    int keyColumns = 0;
    bool integerKey = false;
    const auto columns = source.query(QStringLiteral("PRAGMA table_info(%1)").arg(quoteName(tableName)));
    while (columns->next()) {
        if (columns->text(QStringLiteral("pk")).value_or(QString()).toInt() > 0) {
            ++keyColumns;
            integerKey = columns->text(QStringLiteral("type")).value_or(QString()).compare(
                             QLatin1String("INTEGER"), Qt::CaseInsensitive)
                         == 0;
        }
    }
    shape.rowidIsKey = keyColumns == 1 && integerKey;
    return shape;
}

qint64 toRowid(QByteArrayView text) { return text.toByteArray().toLongLong(); }

// What the index takes from a row.
struct PassRow {
    qint64 rowid = 0;
    qint64 hash = 0;
    QByteArray ip;
    QByteArray message;
};

// The next rows in rowid order (after the given rowid, or from the first),
// copied, so that the statement and its read transaction end here.
void readPass(DbConnection& source, const QString& table, std::optional<qint64> after, std::vector<PassRow>& pass)
{
    pass.clear();
    const QString where = after ? QStringLiteral(" WHERE rowid > %1").arg(*after) : QString();
    const auto rows = source.query(QStringLiteral("SELECT rowid, [IP地址], [信息], [时间] FROM %1%2 ORDER BY rowid LIMIT %3")
                                       .arg(table, where)
                                       .arg(kRowsPerPass));
    while (rows->next()) {
        PassRow& row = pass.emplace_back();
        row.rowid = toRowid(rows->utf8(0));
        row.ip = rows->utf8(1).toByteArray();
        row.message = rows->utf8(2).toByteArray();
        row.hash = rowHash(rows->utf8(3), row.ip, row.message);
    }
}

#ifdef Q_OS_LINUX
// The thread runs only when nothing else wants the processor, and its disk
// reads wait for everybody else's.
void lowerThisThreadsPriority()
{
    sched_param none{};
    sched_setscheduler(0, SCHED_IDLE, &none);
    constexpr int kWhoProcess = 1;
    constexpr int kClassIdle = 3;
    constexpr int kClassShift = 13;
    syscall(SYS_ioprio_set, kWhoProcess, 0, kClassIdle << kClassShift);
}
#else
void lowerThisThreadsPriority() {}
#endif

} // namespace

DayIndexOutcome indexDayTable(DbConnection& source, const QString& tableName, SearchIndex& index,
                              const std::function<bool()>& shouldStop, int blockShift,
                              const std::function<void()>& beforePass)
{
    const TableShape shape = shapeOf(source, tableName);
    if (shape.sql.isEmpty() || shape.hasIndex)
        return DayIndexOutcome::NotIndexable;

    IndexedDay day;
    day.tableName = tableName;
    day.tableSql = shape.sql;
    day.blockShift = blockShift;
    day.rowidIsKey = shape.rowidIsKey;

    GramPostings grams;
    QHash<QByteArray, Posting> addresses;
    const QString table = quoteName(tableName);
    std::vector<PassRow> pass;
    bool first = true;
    for (;;) {
        if (beforePass)
            beforePass();
        if (shouldStop())
            return DayIndexOutcome::Stopped;
        // The pass is copied out first: its read transaction ends before the
        // rows are looked at, however long that takes at idle priority.
        readPass(source, table, first ? std::nullopt : std::optional<qint64>(day.lastRowid), pass);
        for (const PassRow& row : pass) {
            if (first) {
                if (row.rowid < 1)
                    return DayIndexOutcome::NotIndexable;
                day.firstRowid = row.rowid;
                day.firstRowHash = row.hash;
                first = false;
            }
            day.lastRowid = row.rowid;
            day.lastRowHash = row.hash;
            ++day.rows;
            if ((row.rowid >> blockShift) >= qint64(kNoBlock)
                || (row.rowid >> blockShift) > (day.rows + 1024) * kMostBlocksPerRow)
                return DayIndexOutcome::NotIndexable;
            const std::uint32_t block = std::uint32_t(row.rowid >> blockShift);
            const bool valid = searchgrams::forEachGram(reinterpret_cast<const unsigned char*>(row.message.constData()),
                                                        std::size_t(row.message.size()),
                                                        [&](Gram gram) { grams.add(gram, block); });
            if (!valid)
                grams.add(searchgrams::kAlwaysRead, block);
            addresses[row.ip].add(block);
        }
        if (pass.size() < std::size_t(kRowsPerPass))
            break;
        // A breath between passes, for the caches and the other threads.
        std::this_thread::sleep_for(kPauseBetweenPasses);
    }
    if (first)
        return DayIndexOutcome::NotIndexable;  // an empty table: nothing to search in anyway

    const std::size_t blockCount = day.blockCount();
    SearchIndex::DayContent content;
    content.day = day;
    grams.forEach([&](Gram gram, const std::vector<std::uint32_t>& blocks) {
        content.grams.emplace_back(gram, BlockSet::encode(blocks, blockCount));
    });
    std::sort(content.grams.begin(), content.grams.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    content.addresses.reserve(std::size_t(addresses.size()));
    for (auto it = addresses.cbegin(); it != addresses.cend(); ++it)
        content.addresses.emplace_back(it.key(), BlockSet::encode(it.value().blocks, blockCount));
    if (shouldStop())
        return DayIndexOutcome::Stopped;
    index.writeDay(content);
    return DayIndexOutcome::Built;
}

SearchIndexBuilder::SearchIndexBuilder(DbEngine& engine, QString dataDir, const Clock& clock,
                                       std::function<void(const QString&)> report)
    : engine_(engine), dataDir_(std::move(dataDir)), clock_(clock), report_(std::move(report))
{
    thread_ = std::thread([this] { run(); });
}

SearchIndexBuilder::~SearchIndexBuilder()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        interrupted_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void SearchIndexBuilder::wake()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_ = true;
    }
    changed_.notify_all();
}

void SearchIndexBuilder::pause()
{
    std::unique_lock<std::mutex> lock(mutex_);
    paused_ = true;
    interrupted_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !working_; });
}

void SearchIndexBuilder::resume()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = false;
        interrupted_ = stopping_;
        pending_ = true;
    }
    changed_.notify_all();
}

bool SearchIndexBuilder::idle() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return !working_ && (!pending_ || paused_);
}

bool SearchIndexBuilder::waitUntilIdle(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return !working_ && (!pending_ || paused_); });
}

bool SearchIndexBuilder::shouldStop() const { return interrupted_.load(std::memory_order_relaxed); }

void SearchIndexBuilder::noteIntakeSecond(qint64 records)
{
    const bool busy = records >= kBusyRecordsPerSecond;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (busy == intakeBusy_)
            return;
        intakeBusy_ = busy;
    }
    changed_.notify_all();
}

bool SearchIndexBuilder::holdingOff() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return holding_;
}

// Waits, between passes and holding no read transaction, until intake is
// quiet again or the work is to stop.
void SearchIndexBuilder::holdWhileIntakeBusy()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!intakeBusy_ || interrupted_)
        return;
    holding_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !intakeBusy_ || interrupted_; });
    holding_ = false;
}

void SearchIndexBuilder::run()
{
    lowerThisThreadsPriority();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || (pending_ && !paused_); });
        if (stopping_)
            return;
        pending_ = false;
        working_ = true;
        lock.unlock();
        passOverDays();
        lock.lock();
        working_ = false;
        changed_.notify_all();
    }
}

void SearchIndexBuilder::passOverDays()
{
    const auto stop = [this] { return shouldStop(); };
    const auto hold = [this] { holdWhileIntakeBusy(); };
    try {
        const std::unique_ptr<DbConnection> source =
            engine_.open(QDir(dataDir_).filePath(QStringLiteral("syslog.mdb")), DbEngine::OpenMode::ReadOnly);
        source->setInterruptCheck(stop);
        SearchIndex index(dataDir_, SearchIndex::Mode::Write);
        index.setInterruptCheck(stop);

        const QDate today = clock_.now().date();
        QStringList closed;
        QStringList present;
        for (const TableInfo& table : source->tables()) {
            if (table.type != QLatin1String("TABLE"))
                continue;
            present << table.name;
            const QDate date = dateOfDayTable(table.name);
            if (date.isValid() && date < today)
                closed << table.name;
        }
        QStringList gone;
        for (const QString& indexed : index.indexedTables())
            if (!present.contains(indexed))
                gone << indexed;
        if (!gone.isEmpty())
            index.forget(gone);

        std::sort(closed.begin(), closed.end(), std::greater<>());
        for (const QString& tableName : closed) {
            hold();
            if (stop())
                return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (failed_.contains(tableName))
                    continue;
            }
            if (const std::optional<IndexedDay> known = index.day(tableName)) {
                const IndexCheck check = checkIndexedDay(*source, *known);
                // Rows added after the index was built are read without it; many of them are worth a new index.
                if (check.valid && check.currentLastRowid - known->lastRowid < (qint64(1) << known->blockShift))
                    continue;
            }
            try {
                if (indexDayTable(*source, tableName, index, stop, kIndexBlockShift, hold) == DayIndexOutcome::NotIndexable) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    failed_ << tableName;
                }
            } catch (const DbError& error) {
                if (stop())
                    return;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    failed_ << tableName;
                }
                if (report_)
                    report_(QStringLiteral("the search index of %1 could not be built: %2").arg(tableName, error.text()));
            }
        }
    } catch (const DbError& error) {
        if (!stop() && report_)
            report_(QStringLiteral("the search index could not be kept up to date: %1").arg(error.text()));
    }
}
