#pragma once

#include "platform/Result.h"
#include "store/LogRecord.h"

#include <span>


// The long-lived write path into the database: one connection and one prepared
// insert on the daily table of the day it was (re)opened on.
//
// Every method but isOpen() and reopen() throws DbError on failure.
class RecordWriter {
public:
    virtual ~RecordWriter() = default;
    // True while both the connection and the insert statement are open.
    virtual bool isOpen() const = 0;
    // Closes both (errors ignored), then opens the connection and prepares the
    // insert on today's table (today by the clock at the time of the call).
    // Fails, with the store's text, when either fails.
    virtual Result<> reopen() = 0;
    // Closes both, errors ignored. The file is free afterwards.
    virtual void close() = 0;
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    // Appends one row, its fields too when the table has their columns;
    // outside a transaction it is stored at once. Returns the row's ID.
    virtual qint64 append(const LogRecord& record) = 0;
    // Appends the records in order, as append() does each, and gives each
    // its row's ID. A failure may leave some of them stored.
    virtual void appendAll(std::span<LogRecord> records)
    {
        for (LogRecord& record : records)
            record.id = append(record);
    }
};
