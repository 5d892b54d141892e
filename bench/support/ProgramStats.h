#pragma once

#include <QFile>
#include <QString>

#include <SQLiteCpp/SQLiteCpp.h>

// What the benchmarks read off a running or finished server.

// The peak resident memory of a process, in KiB; -1 when it cannot be read.
inline long long peakResidentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// The rows of every day table of a database file.
inline long long storedRows(const QString& dbPath)
{
    SQLite::Database db(dbPath.toStdString());
    SQLite::Statement tables(db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE 'syslog-%'");
    long long rows = 0;
    while (tables.executeStep()) {
        SQLite::Statement count(db, "SELECT count(*) FROM \"" + tables.getColumn(0).getString() + "\"");
        if (count.executeStep())
            rows += count.getColumn(0).getInt64();
    }
    return rows;
}
