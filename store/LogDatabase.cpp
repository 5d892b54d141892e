#include "store/LogDatabase.h"

#include "platform/Clock.h"
#include "store/LogRecord.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace {

const QString kDatabaseFileName = QStringLiteral("syslog.mdb");
const QString kTablePrefix = QStringLiteral("syslog-");

// The daily table: ID numbered by the store (a rowid alias, so new rows get
// the next number from 1 without an AUTOINCREMENT bookkeeping table), the two
// bounded texts checked by the store itself (the address long enough for any
// IPv6 text), the unbounded message, then the fields read from the message
// (NULL where it had no such part).
QString createDailyTableSql(const QString& tableName)
{
    return QStringLiteral("CREATE TABLE %1 ("
                          "\"ID\" INTEGER NOT NULL, "
                          "\"时间\" TEXT CHECK (length(\"时间\") <= 24), "
                          "\"IP地址\" TEXT CHECK (length(\"IP地址\") <= 45), "
                          "\"信息\" TEXT, "
                          "\"facility\" INTEGER, \"severity\" INTEGER, "
                          "\"host\" TEXT, \"app\" TEXT, \"procid\" TEXT, \"msgid\" TEXT, "
                          "\"timestamp\" TEXT, \"sd\" TEXT, \"head\" TEXT, \"msgpos\" INTEGER, "
                          "CONSTRAINT \"PrimaryKey\" PRIMARY KEY (\"ID\"))")
        .arg(quoteName(tableName));
}

QString recentRecordsSql(const QString& day, const QString& columns, const QString& orderColumn)
{
    return QStringLiteral("SELECT %1 FROM %2 ORDER BY %3 DESC LIMIT %4")
        .arg(columns, quoteName(dayTableName(day)), quoteName(orderColumn))
        .arg(LogDatabase::kRecentRecordLimit);
}

// The address check of tables made before IPv6 senders were received.
const QString kNarrowAddressCheck = QStringLiteral("length(\"IP地址\") <= 16");
const QString kWideAddressCheck = QStringLiteral("length(\"IP地址\") <= 45");

std::optional<QString> tableSql(DbConnection& connection, const QString& tableName)
{
    const std::unique_ptr<DbCursor> cursor = connection.query(
        QStringLiteral("SELECT sql FROM sqlite_schema WHERE type = 'table' AND name = ?"), {tableName});
    if (!cursor->next())
        return std::nullopt;
    return cursor->text(QStringLiteral("sql"));
}

const QString kRecordColumns = QStringLiteral("\"时间\",\"IP地址\",\"信息\"");

bool holdsTable(DbConnection& connection, const QString& tableName)
{
    const std::vector<TableInfo> tables = connection.tables();
    // The engine's names are case-insensitive: "SYSLOG-…" would block "syslog-…".
    return std::any_of(tables.begin(), tables.end(), [&](const TableInfo& table) {
        return table.name.compare(tableName, Qt::CaseInsensitive) == 0;
    });
}

// Newest first, as the query delivers them; never more than the limit even
// when the store returns extra rows.
QList<LogRecord> readRecords(DbCursor& cursor, bool withId, bool withFields)
{
    QList<LogRecord> records;
    while (records.size() < LogDatabase::kRecentRecordLimit && cursor.next()) {
        LogRecord record(cursor.text(QStringLiteral("时间")).value_or(QString()),
                         cursor.text(QStringLiteral("IP地址")).value_or(QString()),
                         cursor.text(QStringLiteral("信息")).value_or(QString()));
        if (withId)
            record.id = cursor.text(QStringLiteral("ID")).value_or(QString()).toLongLong();
        if (withFields)
            record.fields = storedFields(cursor);
        records << std::move(record);
    }
    return records;
}

int numberOrNone(const std::optional<QString>& text)
{
    bool ok = false;
    const int number = text ? text->toInt(&ok) : -1;
    return ok ? number : -1;
}

} // namespace

QString dayTableName(const QString& day) { return kTablePrefix + day; }

QString fieldColumnsSql()
{
    return QStringLiteral("\"facility\",\"severity\",\"host\",\"app\",\"procid\",\"msgid\",\"timestamp\",\"sd\","
                          "\"head\",\"msgpos\"");
}

LogFields storedFields(const DbCursor& cursor)
{
    LogFields fields;
    const auto text = [&](const char* column) { return cursor.text(QString::fromLatin1(column)).value_or(QString()); };
    fields.facility = numberOrNone(cursor.text(QStringLiteral("facility")));
    fields.severity = numberOrNone(cursor.text(QStringLiteral("severity")));
    fields.host = text("host");
    fields.app = text("app");
    fields.procid = text("procid");
    fields.msgid = text("msgid");
    fields.timestamp = text("timestamp");
    fields.sd = text("sd");
    fields.head = text("head");
    fields.msgPos = numberOrNone(cursor.text(QStringLiteral("msgpos")));
    return fields;
}

bool holdsFieldColumns(DbConnection& connection, const QString& tableName)
{
    const std::unique_ptr<DbCursor> columns
        = connection.query(QStringLiteral("SELECT name FROM pragma_table_info(?)"), {tableName});
    while (columns->next()) {
        if (columns->text(QStringLiteral("name")) == QLatin1String("msgpos"))
            return true;
    }
    return false;
}

bool holdsNarrowAddressCheck(DbConnection& connection, const QString& tableName)
{
    const std::optional<QString> sql = tableSql(connection, tableName);
    return sql && sql->contains(kNarrowAddressCheck);
}

void widenAddressColumn(DbConnection& connection, const QString& tableName)
{
    const std::optional<QString> sql = tableSql(connection, tableName);
    if (!sql || !sql->contains(kNarrowAddressCheck))
        return;
    QString columns = sql->mid(sql->indexOf(u'('));
    columns.replace(kNarrowAddressCheck, kWideAddressCheck);
    const QString widened = quoteName(tableName + QStringLiteral("-widened"));
    connection.execute(QStringLiteral("SAVEPOINT \"widen\""));
    try {
        connection.execute(QStringLiteral("CREATE TABLE %1 %2").arg(widened, columns));
        connection.execute(QStringLiteral("INSERT INTO %1 SELECT * FROM %2").arg(widened, quoteName(tableName)));
        connection.execute(QStringLiteral("DROP TABLE %1").arg(quoteName(tableName)));
        connection.execute(QStringLiteral("ALTER TABLE %1 RENAME TO %2").arg(widened, quoteName(tableName)));
        connection.execute(QStringLiteral("RELEASE \"widen\""));
    } catch (const DbError&) {
        // Undo whatever was done; the error itself goes on to the caller.
        try {
            connection.execute(QStringLiteral("ROLLBACK TO \"widen\""));
            connection.execute(QStringLiteral("RELEASE \"widen\""));
        } catch (const DbError&) {
            // The caller's rollback, or closing the connection, discards the change instead.
        }
        throw;
    }
}

QString dayOfTable(const QString& tableName) { return tableName.right(10); }

QDate dateOfDayTable(const QString& tableName)
{
    constexpr qsizetype kDayLength = 10;
    if (tableName.size() != kTablePrefix.size() + kDayLength || !tableName.startsWith(kTablePrefix))
        return QDate();
    const QString day = tableName.right(kDayLength);
    // Digits and dashes exactly where the format puts them ("2026-1-5x" is no day).
    for (qsizetype i = 0; i < kDayLength; ++i) {
        const bool dash = i == 4 || i == 7;
        if (dash ? day[i] != QLatin1Char('-') : !(day[i] >= QLatin1Char('0') && day[i] <= QLatin1Char('9')))
            return QDate();
    }
    return QDate::fromString(day, QLatin1String(kDayFormat));
}

QString quoteName(const QString& name)
{
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

LogDatabase::LogDatabase(DbEngine& engine, QString programDir, const Clock& clock)
    : engine_(engine), programDir_(std::move(programDir)), clock_(clock)
{
}

QString LogDatabase::path() const { return QDir(programDir_).filePath(kDatabaseFileName); }

bool LogDatabase::fileExists() const { return QFileInfo::exists(path()); }

QString LogDatabase::todayTableName() const
{
    return dayTableName(clock_.now().date().toString(QLatin1String(kDayFormat)));
}

bool LogDatabase::ensureFileAndTodayTable()
{
    // Opening an existing file only reads it; a file that is not a database
    // fails on its header before anything is written.
    if (!fileExists())
        engine_.open(path(), DbEngine::OpenMode::CreateIfMissing);
    return ensureTodayTable();
}

bool LogDatabase::ensureTodayTable()
{
    const QString tableName = todayTableName();
    const std::unique_ptr<DbConnection> connection = openConnection();
    if (holdsTable(*connection, tableName))
        return false;
    connection->execute(createDailyTableSql(tableName));
    return true;
}

bool LogDatabase::tableExists(const QString& tableName) { return holdsTable(*openConnection(), tableName); }

QStringList LogDatabase::dayList()
{
    QStringList days;
    for (const TableInfo& table : openConnection()->tables()) {
        if (table.type.toUpper() == QLatin1String("TABLE"))
            days << dayOfTable(table.name);
    }
    return days;
}

QStringList LogDatabase::loadRecentRecords(const QString& day)
{
    QStringList lines;
    for (const LogRecord& record : loadRecentLogRecords(day))
        lines << logLine(record);
    return lines;
}

QList<LogRecord> LogDatabase::loadRecentLogRecords(const QString& day)
{
    const std::unique_ptr<DbConnection> connection = openConnection();
    const bool withFields = holdsFieldColumns(*connection, dayTableName(day));
    const QString columns = QStringLiteral("\"ID\",") + kRecordColumns
                          + (withFields ? QLatin1Char(',') + fieldColumnsSql() : QString());
    std::unique_ptr<DbCursor> cursor;
    bool withId = true;
    try {
        cursor = connection->query(recentRecordsSql(day, columns, QStringLiteral("ID")));
    } catch (const DbError&) {
        // A table without ID: take the latest by time text instead.
        withId = false;
        cursor = connection->query(recentRecordsSql(day, kRecordColumns, QStringLiteral("时间")));
    }
    QList<LogRecord> records = readRecords(*cursor, withId, withFields && withId);
    std::reverse(records.begin(), records.end());
    return records;
}

std::unique_ptr<DbConnection> LogDatabase::openConnection() { return engine_.open(path()); }
