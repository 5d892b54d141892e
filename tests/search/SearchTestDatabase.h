#pragma once

#include "platform/SqliteEngine.h"
#include "store/LogDatabase.h"
#include "store/LogRecord.h"
#include "store/SharedWriter.h"
#include "tests/support/Fakes.h"

#include <QList>
#include <QTemporaryDir>

// A log database in a temporary program directory, filled day by day through
// the store's own table creation.
struct SearchTestDatabase {
    QTemporaryDir dir;
    SqliteEngine engine;
    FakeClock clock;
    LogDatabase database{engine, dir.path(), clock};

    // Creates the file without any daily table.
    void createEmpty() { engine.open(database.path(), DbEngine::OpenMode::CreateIfMissing); }

    // Creates the table of a day ("yyyy-MM-dd") and appends the records to it.
    void addDay(const QString& day, const QList<LogRecord>& records = {})
    {
        clock.set(QDateTime(QDate::fromString(day, QLatin1String(kDayFormat)), QTime(12, 0)));
        database.ensureFileAndTodayTable();
        append(day, records);
    }

    void append(const QString& day, const QList<LogRecord>& records)
    {
        const auto connection = database.openConnection();
        connection->begin();
        const auto insert = connection->prepare(QStringLiteral("INSERT INTO %1 (\"时间\",\"IP地址\",\"信息\") VALUES (?,?,?)")
                                                    .arg(quoteName(dayTableName(day))));
        for (const LogRecord& record : records)
            insert->runTexts({record.time, record.ip, record.message});
        connection->commit();
    }

    // Creates the table of a day and stores the records, fields included,
    // through the program's own write path.
    void addDayWithFields(const QString& day, const QList<LogRecord>& records)
    {
        addDay(day);
        SharedWriter writer(engine, database.path(), clock);
        if (!writer.reopen())
            throw DbError(QStringLiteral("the write path did not open"));
        for (const LogRecord& record : records)
            writer.append(record);
    }

    // Creates the table of a day as versions without fields made it.
    void addDayWithoutFields(const QString& day, const QList<LogRecord>& records)
    {
        engine.open(database.path(), DbEngine::OpenMode::CreateIfMissing)
            ->execute(QStringLiteral("CREATE TABLE %1 (\"ID\" INTEGER NOT NULL, \"时间\" TEXT, \"IP地址\" TEXT, "
                                     "\"信息\" TEXT, CONSTRAINT \"PrimaryKey\" PRIMARY KEY (\"ID\"))")
                          .arg(quoteName(dayTableName(day))));
        append(day, records);
    }

    // A record of the day with the given address and message.
    static LogRecord record(const QString& day, const QString& ip, const QString& message)
    {
        return LogRecord{day + QStringLiteral(" 10:00:00"), ip, message};
    }

    void execute(const QString& sql) { database.openConnection()->execute(sql); }
    void dropDay(const QString& day) { execute(QStringLiteral("DROP TABLE ") + quoteName(dayTableName(day))); }
    bool hasDay(const QString& day) { return database.tableExists(dayTableName(day)); }
};
