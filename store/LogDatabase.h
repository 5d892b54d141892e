#pragma once

#include "platform/Database.h"
#include "store/LogRecord.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <memory>

class Clock;

// Name of the daily table of a day "yyyy-MM-dd": "syslog-" + day.
QString dayTableName(const QString& day);
// The day of a table name: its last ten characters (the whole name when shorter).
QString dayOfTable(const QString& tableName);
// The date of a daily table: valid only for a name that is exactly
// "syslog-yyyy-MM-dd" with a real date.
QDate dateOfDayTable(const QString& tableName);
// Whether a daily table has the columns of the fields read from messages
// (tables made by versions that did not keep them have not).
bool holdsFieldColumns(DbConnection& connection, const QString& tableName);
// Whether a daily table limits its address column to 16 characters, as
// tables made before IPv6 senders were received do: too short for an IPv6 text.
bool holdsNarrowAddressCheck(DbConnection& connection, const QString& tableName);
// Makes such a table take addresses of up to 45 characters: it is rebuilt
// with the wider check, every row kept with its ID, in one savepoint (inside
// the caller's transaction, if one is open). Other tables are left alone.
void widenAddressColumn(DbConnection& connection, const QString& tableName);
// The field columns as a select list: facility, severity, host, app, procid,
// msgid, timestamp, sd, head, msgpos.
QString fieldColumnsSql();
// The fields of the cursor's row, read by column name (fieldColumnsSql()).
LogFields storedFields(const DbCursor& cursor);
// A table or column name quoted for SQL; quotes inside it are doubled, so no
// name can change the statement around it.
QString quoteName(const QString& name);

// The log database file syslog.mdb in the program directory, with one table
// per calendar day. Every operation here opens a private connection and closes
// it before it returns. Failures throw DbError with the store's own text.
class LogDatabase {
public:
    LogDatabase(DbEngine& engine, QString programDir, const Clock& clock);

    QString path() const;
    QString programDir() const { return programDir_; }
    bool fileExists() const;
    DbEngine& engine() { return engine_; }
    // "syslog-" + today's date by the clock.
    QString todayTableName() const;

    // Creates the file when it is missing (an existing file is never altered),
    // then today's table when it is missing. True when a table was created.
    bool ensureFileAndTodayTable();
    // Creates today's table when it is missing; true when it was created.
    bool ensureTodayTable();
    bool tableExists(const QString& tableName);

    // The days of all ordinary tables (their last ten characters), ascending by table name.
    QStringList dayList();
    // The latest (at most 500) records of a day as log lines, oldest first.
    // Falls back to ordering by time when the table has no ID column.
    QStringList loadRecentRecords(const QString& day);
    // The same records with their IDs (0 for a table without the ID column)
    // and their fields where the table has them.
    QList<LogRecord> loadRecentLogRecords(const QString& day);
    // A private read connection for a caller that runs several queries.
    std::unique_ptr<DbConnection> openConnection();

    static constexpr int kRecentRecordLimit = 500;

private:
    DbEngine& engine_;
    QString programDir_;
    const Clock& clock_;
};
