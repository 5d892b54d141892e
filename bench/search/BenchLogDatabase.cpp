#include "bench/search/BenchLogDatabase.h"

#include "platform/Clock.h"
#include "platform/Database.h"
#include "store/LogDatabase.h"
#include "store/LogRecord.h"

#include <QDir>
#include <QFile>
#include <QTime>

namespace {

// A clock that names whichever day the generator is creating a table for.
class DayClock final : public Clock {
public:
    void setDay(const QDate& day) { now_ = QDateTime(day, QTime(12, 0)); }
    QDateTime now() const override { return now_; }

private:
    QDateTime now_;
};

QString timeOfRecord(const QDate& day, int index, int recordsPerDay)
{
    const int second = int(qint64(index) * 86400 / recordsPerDay);
    return QDateTime(day, QTime(0, 0).addSecs(second)).toString(QLatin1String(kTimeFormat));
}

QString addressOfRecord(int index)
{
    return QStringLiteral("10.%1.%2.%3").arg(index % 7).arg(index / 7 % 250).arg(index % 200 + 1);
}

qint64 recordCount(DbConnection& connection, const QString& day)
{
    const auto rows = connection.query(QStringLiteral("SELECT count(*) AS n FROM %1").arg(quoteName(dayTableName(day))));
    return rows->next() ? rows->text(QStringLiteral("n")).value_or(QString()).toLongLong() : 0;
}

bool matchesShape(LogDatabase& database, const BenchDatabaseShape& shape)
{
    if (database.dayList() != shape.dayTexts())
        return false;
    const auto connection = database.openConnection();
    return recordCount(*connection, shape.dayTexts().last()) == shape.recordsPerDay;
}

void fillDay(LogDatabase& database, const QDate& day, int recordsPerDay)
{
    const QString dayText = day.toString(QLatin1String(kDayFormat));
    const auto connection = database.openConnection();
    connection->begin();
    const auto insert = connection->prepare(QStringLiteral("INSERT INTO %1 (\"时间\",\"IP地址\",\"信息\") VALUES (?,?,?)")
                                                .arg(quoteName(dayTableName(dayText))));
    for (int index = 0; index < recordsPerDay; ++index)
        insert->runTexts({timeOfRecord(day, index, recordsPerDay), addressOfRecord(index), benchMessage(index)});
    connection->commit();
}

void generate(DbEngine& engine, const QString& programDir, const BenchDatabaseShape& shape,
              const std::function<void(const QString&)>& progress)
{
    DayClock clock;
    LogDatabase database(engine, programDir, clock);
    for (int offset = 0; offset < shape.days; ++offset) {
        const QDate day = shape.firstDay.addDays(offset);
        clock.setDay(day);
        database.ensureFileAndTodayTable();  // the day's table, with the store's own schema
        fillDay(database, day, shape.recordsPerDay);
        if (progress)
            progress(day.toString(QLatin1String(kDayFormat)));
    }
}

} // namespace

QStringList BenchDatabaseShape::dayTexts() const
{
    QStringList texts;
    for (int offset = 0; offset < days; ++offset)
        texts << firstDay.addDays(offset).toString(QLatin1String(kDayFormat));
    return texts;
}

QString benchMessage(int index)
{
    if (index % kBenchRareEvery == kBenchRareEvery / 2)
        return QStringLiteral("core-sw-%1 kernel: %2 - not syncing: fatal exception in interrupt, seq %3")
            .arg(index % 40).arg(kBenchRareKeyword).arg(index);
    if (index % 2 == 0)
        return QStringLiteral("edge-router-%1 %2 GigabitEthernet0/%3 changed state to %4, seq %5")
            .arg(index % 40).arg(kBenchCommonKeyword).arg(index % 48)
            .arg(index % 4 == 0 ? QStringLiteral("up") : QStringLiteral("down")).arg(index);
    return QStringLiteral("fw-%1 info: session closed src=192.168.%2.%3 dst=172.16.0.%4 bytes=%5, seq %6")
        .arg(index % 8).arg(index % 250).arg(index % 199 + 1).arg(index % 97).arg(index * 37 % 100000).arg(index);
}

QString ensureBenchLogDatabase(DbEngine& engine, const QString& programDir, const BenchDatabaseShape& shape,
                               const std::function<void(const QString&)>& progress)
{
    if (!QDir().mkpath(programDir))
        throw DbError(QStringLiteral("cannot create %1").arg(programDir));
    DayClock unusedClock;
    LogDatabase existing(engine, programDir, unusedClock);
    if (existing.fileExists()) {
        if (!matchesShape(existing, shape))
            throw DbError(QStringLiteral("%1 does not have the requested shape; remove it or choose another folder")
                              .arg(existing.path()));
        return existing.path();
    }

    const QString sideDir = QDir(programDir).filePath(QStringLiteral("generating"));
    QDir(sideDir).removeRecursively();
    if (!QDir().mkpath(sideDir))
        throw DbError(QStringLiteral("cannot create %1").arg(sideDir));
    generate(engine, sideDir, shape, progress);
    DayClock sideClock;
    const QString generated = LogDatabase(engine, sideDir, sideClock).path();
    if (!QFile::rename(generated, existing.path()))
        throw DbError(QStringLiteral("cannot move %1 to %2").arg(generated, existing.path()));
    QDir(sideDir).removeRecursively();
    return existing.path();
}
