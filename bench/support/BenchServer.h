#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include <SQLiteCpp/SQLiteCpp.h>

// The real program for the benchmarks that run it, and what they read off it.

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

// The processor time a process has used so far (user and system), in
// seconds; -1 when it cannot be read.
inline double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The fields after the command name, which is in parentheses: utime and
    // stime are the 12th and 13th of them.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// The rows of every day table of a database file, except the tables named.
inline long long storedRows(const QString& dbPath, const QStringList& exceptTables = {})
{
    SQLite::Database db(dbPath.toStdString());
    SQLite::Statement tables(db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE 'syslog-%'");
    long long rows = 0;
    while (tables.executeStep()) {
        if (exceptTables.contains(QString::fromStdString(tables.getColumn(0).getString())))
            continue;
        SQLite::Statement count(db, "SELECT count(*) FROM \"" + tables.getColumn(0).getString() + "\"");
        if (count.executeStep())
            rows += count.getColumn(0).getInt64();
    }
    return rows;
}

// The day tables of a database file.
inline QStringList dayTables(const QString& dbPath)
{
    SQLite::Database db(dbPath.toStdString());
    SQLite::Statement tables(db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE 'syslog-%'");
    QStringList names;
    while (tables.executeStep())
        names << QString::fromStdString(tables.getColumn(0).getString());
    return names;
}

// The real program, started offscreen in a temporary program directory of its
// own, with a temporary configuration that sets its port (and whatever
// further "name=value" lines extraSettings holds). Its startup lines go to
// standard error once it listens. seedFiles are copied into the program
// directory first (a database of earlier days, say).
class BenchServer {
public:
    BenchServer(const QString& programPath, int port, const QString& extraSettings = {},
                const QStringList& seedFiles = {})
    {
        for (const QString& file : seedFiles)
            QFile::copy(file, QDir(programDir_.path()).filePath(QFileInfo(file).fileName()));
        const QString program = QDir(programDir_.path()).filePath(QStringLiteral("kiv-syslog"));
        QFile::copy(programPath, program);
        QFile::setPermissions(program, QFile::permissions(programPath));
        QFile conf(QDir(configHome_.path()).filePath(QStringLiteral("varare.conf")));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("[General]\nport=%1\n%2").arg(port).arg(extraSettings).toUtf8());
        conf.close();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome_.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), configHome_.path());
        process_.setProcessEnvironment(env);
        process_.setReadChannel(QProcess::StandardError);
        process_.start(program, {});
        QByteArray banner;
        while (!banner.contains("UDP port") && process_.waitForReadyRead(30000))
            banner += process_.readAllStandardError();
        std::fprintf(stderr, "%sserver pid %lld\n", banner.constData(), static_cast<long long>(process_.processId()));
    }

    qint64 pid() const { return process_.processId(); }
    QString filePath(const QString& name) const { return QDir(programDir_.path()).filePath(name); }

    // Stops it with SIGTERM, so it stores what it holds, and returns its peak
    // resident memory in KiB, read until it has exited.
    long long stop()
    {
        const qint64 id = pid();
        long long peakKiB = peakResidentKiB(id);
        process_.terminate();
        while (!process_.waitForFinished(20))
            peakKiB = std::max(peakKiB, peakResidentKiB(id));
        closingLines_ = process_.readAllStandardError();
        std::fprintf(stderr, "%s", closingLines_.constData());
        return peakKiB;
    }

    // What it printed on standard error after its startup lines, once stopped.
    const QByteArray& closingLines() const { return closingLines_; }

private:
    QTemporaryDir programDir_;
    QTemporaryDir configHome_;
    QProcess process_;
    QByteArray closingLines_;
};
