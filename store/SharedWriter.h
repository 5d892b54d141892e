#pragma once

#include "platform/Database.h"
#include "store/RecordWriter.h"

#include <array>
#include <memory>
#include <vector>

class Clock;

// The one long-lived connection of the program and its prepared insert into
// the daily table of the day it was last (re)opened on. It stays open from one
// reopen to the next, so appending a record costs only the insert.
//
// Give it an engine of its own with a short busy timeout: when another
// connection holds the file locked, a write must fail quickly (and the record
// go to the recovery file) instead of stalling the window for seconds.
class SharedWriter final : public RecordWriter {
public:
    // The busy timeout meant for the writer's engine.
    static constexpr int kBusyTimeoutMs = 250;

    SharedWriter(DbEngine& engine, QString databasePath, const Clock& clock);
    ~SharedWriter() override;

    bool isOpen() const override;
    Result<> reopen() override;
    void close() override;
    void begin() override;
    void commit() override;
    void rollback() override;
    qint64 append(const LogRecord& record) override;
    // Several rows a statement: each run of a statement costs about as much
    // as a few rows do (finding the table's end, ending the statement).
    void appendAll(std::span<LogRecord> records) override;

    // The most rows one insert statement takes.
    static constexpr std::size_t kRowsPerInsert = 10;

    // The insert the write path was last (re)opened with, for diagnostics.
    QString insertSqlText() const { return insertSqlText_; }

private:
    DbConnection& openConnection();
    void widenAddressFor(const LogRecord& record);
    void addValues(const LogRecord& record);
    DbStatement& insertOfRows(std::size_t rows);

    DbEngine& engine_;
    QString databasePath_;
    const Clock& clock_;
    std::unique_ptr<DbConnection> connection_;
    std::unique_ptr<DbStatement> insert_;
    // The inserts of 2 to kRowsPerInsert rows, prepared when first needed.
    std::array<std::unique_ptr<DbStatement>, kRowsPerInsert + 1> insertsOfRows_;
    std::vector<DbValue> values_;
    QString insertSqlText_;
    bool withFields_ = false;
    // Today's table still limits addresses to this many characters.
    static constexpr qsizetype kNarrowAddressLength = 16;
    QString tableName_;
    bool narrowAddress_ = false;
};
