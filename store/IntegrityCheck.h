#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <mutex>
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

// Checks a database file for damage with SQLite's quick check over the whole
// file (every page of every table and index, the constraints; not whether
// each index matches its table) on a thread of its own, through a read-only
// connection of its own: the writer and the readers of the file never wait
// for it.
class IntegrityCheck {
public:
    using Done = std::function<void(const IntegrityFindings& findings)>;
    static constexpr int kMaxLines = 20;

    IntegrityCheck(DbEngine& engine, QString path);
    // Cancels a check under way.
    ~IntegrityCheck();
    IntegrityCheck(const IntegrityCheck&) = delete;
    IntegrityCheck& operator=(const IntegrityCheck&) = delete;

    // Starts the check; done is called once, on the check's thread, with what
    // it found, unless the check is cancelled first. Only the first call does
    // anything.
    void start(Done done);
    // Stops a check under way and waits for its thread; done is not called
    // once this returns.
    void cancel();

    // The check itself, on the calling thread.
    static IntegrityFindings check(DbConnection& connection);

private:
    void run(const Done& done);

    DbEngine& engine_;
    const QString path_;
    std::thread thread_;
    std::mutex mutex_;
    // The connection the check runs on, while it runs.
    DbConnection* running_ = nullptr;
    bool cancelled_ = false;
};
