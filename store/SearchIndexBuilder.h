#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class Clock;
class DbConnection;
class DbEngine;
class SearchIndex;

// Rows per block of the index: 2^8. Smaller blocks leave fewer rows to read
// beside the matching ones; larger ones make a smaller index.
inline constexpr int kIndexBlockShift = 8;

enum class DayIndexOutcome {
    Built,
    // shouldStop said so; the index of the day is as it was.
    Stopped,
    // The table cannot be indexed (rowids below 1 or too sparse, an index
    // on the table, no rowid); searches read it whole.
    NotIndexable,
};

// Builds the search index of one day table read through source and puts it
// into index, replacing what the index had for that table. Reads the table
// in short passes of ascending rowids, each its own read transaction, so a
// writer's log is never held back for long; shouldStop is looked at between
// and during them; beforePass is called before each pass, outside any read
// transaction (it may wait there). Failures of either file throw DbError.
DayIndexOutcome indexDayTable(DbConnection& source, const QString& tableName, SearchIndex& index,
                              const std::function<bool()>& shouldStop, int blockShift = kIndexBlockShift,
                              const std::function<void()>& beforePass = {});

// Keeps the search index of the closed days (every day table of a date
// before today) up to date, on a thread of its own at the system's idle
// priority: it works only when nothing else wants the processor. It looks
// at the days when started, when woken (a new day began) and when resumed;
// builds the index of each closed day that has none, or whose index no
// longer fits its table, newest first; and forgets the index of tables that
// are gone. A day that fails is told through report and left until the
// next start. While intake is busy (told once a second through
// noteIntakeSecond) it holds off between passes, so that it takes nothing
// from intake even on a machine whose processors intake keeps busy.
class SearchIndexBuilder {
public:
    // Records a second from which on intake counts as busy.
    static constexpr qint64 kBusyRecordsPerSecond = 1000;

    SearchIndexBuilder(DbEngine& engine, QString dataDir, const Clock& clock,
                       std::function<void(const QString& line)> report = {});
    ~SearchIndexBuilder();
    Q_DISABLE_COPY(SearchIndexBuilder)

    // Looks at the days again.
    void wake();
    // Stops any work at once and closes both files; returns when they are closed.
    void pause();
    // Looks at the days again after a pause.
    void resume();
    // The records intake took in the second just ended: from a busy second on
    // the builder holds off, and it goes on after the first quieter one.
    void noteIntakeSecond(qint64 records);
    // Whether it is waiting for intake to become quiet.
    bool holdingOff() const;
    // Whether it has nothing left to do (for tests and benchmarks).
    bool idle() const;
    // Waits until it has nothing left to do; false after timeoutMs.
    bool waitUntilIdle(int timeoutMs) const;

private:
    void run();
    void passOverDays();
    bool shouldStop() const;
    void holdWhileIntakeBusy();

    DbEngine& engine_;
    const QString dataDir_;
    const Clock& clock_;
    const std::function<void(const QString&)> report_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    bool paused_ = false;
    // Set while stopping or paused: read, without the lock, by the running work.
    std::atomic<bool> interrupted_{false};
    bool pending_ = true;
    bool working_ = false;
    bool intakeBusy_ = false;
    bool holding_ = false;
    QStringList failed_;
    std::thread thread_;
};
