#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class DbConnection;
class DbEngine;

// What a check of a database file found.
struct IntegrityFindings {
    // The engine's lines about damage (at most IntegrityCheck::kMaxLines);
    // empty when the file is sound.
    QStringList damage;
    // Why the file could not be checked, for a reason other than damage;
    // empty when it was checked.
    QString failure;
};

// Checks a database file for damage with SQLite's quick check of each table
// (every page of the table and its indexes, the constraints; not whether an
// index matches its table, nor the accounting of unused pages) on a thread of
// its own, at the lowest processor and disk priority, through a read-only
// connection of its own. The first table given is checked first, then the
// others by name, newest day first; the check stops at the first damage.
//
// A check reads one snapshot of the file, and while it reads, the writer's
// log cannot start over: it grows by all that is written meanwhile, and the
// writer folds all of it in at once afterwards. So each table is read on its
// own, and a table's check gives way as soon as the log's file has grown by
// kMaxLogGrowthBytes: it is tried again after kRetryAfterMs, until it is
// done. Under a constant flood of records the check waits for a quieter
// moment.
class IntegrityCheck {
public:
    using Done = std::function<void(const IntegrityFindings& findings)>;
    static constexpr int kMaxLines = 20;
    static constexpr qint64 kMaxLogGrowthBytes = 8 * 1024 * 1024;
    static constexpr int kRetryAfterMs = 30 * 1000;

    IntegrityCheck(DbEngine& engine, QString path, QString firstTable);
    // Cancels a check under way.
    ~IntegrityCheck();
    Q_DISABLE_COPY(IntegrityCheck)

    // Starts the check; done is called once, on the check's thread, with what
    // it found, unless the check is cancelled first. Only the first call does
    // anything.
    void start(Done done);
    // Stops a check under way and waits for its thread; done is not called
    // once this returns.
    void cancel();

private:
    void run(const Done& done);
    IntegrityFindings checkTables(DbConnection& connection);
    // The check of one table: its damage, or nullopt when it gave way to the writer.
    std::optional<QStringList> checkTable(DbConnection& connection, const QString& name);
    // False when cancelled meanwhile.
    bool waitBeforeRetry();

    DbEngine& engine_;
    const QString path_;
    const QString firstTable_;
    std::thread thread_;
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
};
