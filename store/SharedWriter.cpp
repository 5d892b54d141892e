#include "store/SharedWriter.h"

#include "platform/Clock.h"
#include "store/LogDatabase.h"

namespace {

// An insert of as many rows as given.
QString insertSql(const QString& tableName, bool withFields, std::size_t rows = 1)
{
    const QString row = withFields ? QStringLiteral("(?,?,?,?,?,?,?,?,?,?,?,?,?)") : QStringLiteral("(?,?,?)");
    QString values = row;
    for (std::size_t i = 1; i < rows; ++i)
        values += u',' + row;
    if (!withFields)
        return QStringLiteral("INSERT INTO %1 (\"时间\",\"IP地址\",\"信息\") VALUES %2").arg(quoteName(tableName), values);
    return QStringLiteral("INSERT INTO %1 (\"时间\",\"IP地址\",\"信息\",\"facility\",\"severity\",\"host\",\"app\","
                          "\"procid\",\"msgid\",\"timestamp\",\"sd\",\"head\",\"msgpos\") VALUES %2")
        .arg(quoteName(tableName), values);
}

} // namespace

SharedWriter::SharedWriter(DbEngine& engine, QString databasePath, const Clock& clock)
    : engine_(engine), databasePath_(std::move(databasePath)), clock_(clock)
{
}

SharedWriter::~SharedWriter() { close(); }

bool SharedWriter::isOpen() const { return connection_ && insert_; }

Result<> SharedWriter::reopen()
{
    close();
    try {
        connection_ = engine_.open(databasePath_);
        connection_->keepLogOnAnotherThread();
        const QString day = clock_.now().date().toString(QLatin1String(kDayFormat));
        // A table an earlier version made today has no field columns: its
        // records stay without fields, as that version stored them.
        const QString tableName = dayTableName(day);
        withFields_ = holdsFieldColumns(*connection_, tableName);
        // A table made before IPv6 senders were received is widened by the
        // first address that needs it (and only then).
        tableName_ = tableName;
        narrowAddress_ = holdsNarrowAddressCheck(*connection_, tableName);
        insertSqlText_ = insertSql(tableName, withFields_);
        // Fails when today's table does not exist.
        insert_ = connection_->prepare(insertSqlText_);
        return {};
    } catch (const DbError& error) {
        // Half-open is of no use to anyone; leave the file free.
        close();
        return Failure{error.text()};
    }
}

void SharedWriter::close()
{
    // The statements belong to the connection and must go first. Closing a
    // connection inside a transaction rolls the transaction back.
    for (std::unique_ptr<DbStatement>& insert : insertsOfRows_)
        insert.reset();
    insert_.reset();
    connection_.reset();
}

DbConnection& SharedWriter::openConnection()
{
    if (!isOpen())
        throw DbError(QStringLiteral("the shared database connection is closed"));
    return *connection_;
}

void SharedWriter::begin() { openConnection().begin(); }

void SharedWriter::commit() { openConnection().commit(); }

void SharedWriter::rollback() { openConnection().rollback(); }

// A table made before IPv6 senders were received is widened by the first
// address that needs it (which rebuilds it, so the statements are prepared
// again).
void SharedWriter::widenAddressFor(const LogRecord& record)
{
    if (!narrowAddress_ || record.ip.size() <= kNarrowAddressLength)
        return;
    for (std::unique_ptr<DbStatement>& insert : insertsOfRows_)
        insert.reset();
    insert_.reset();
    widenAddressColumn(*connection_, tableName_);
    narrowAddress_ = false;
    insert_ = connection_->prepare(insertSqlText_);
}

qint64 SharedWriter::append(const LogRecord& record)
{
    openConnection();
    widenAddressFor(record);
    if (!withFields_) {
        insert_->runTexts({record.time, record.ip, record.message});
    } else {
        values_.clear();
        addValues(record);
        insert_->runValues(values_);
    }
    return insert_->lastInsertId();
}

// The record's parameters, in the order of the insert's columns; a record
// without fields gets NULL in each field.
void SharedWriter::addValues(const LogRecord& record)
{
    if (!withFields_) {
        values_.insert(values_.end(), {record.time, record.ip, record.message});
        return;
    }
    const LogFields& fields = record.fields;
    values_.insert(values_.end(),
                   {record.time, record.ip, record.message, DbValue::orNull(fields.facility),
                    DbValue::orNull(fields.severity), DbValue::orNull(fields.host), DbValue::orNull(fields.app),
                    DbValue::orNull(fields.procid), DbValue::orNull(fields.msgid), DbValue::orNull(fields.timestamp),
                    DbValue::orNull(fields.sd), DbValue::orNull(fields.head), DbValue::orNull(fields.msgPos)});
}

DbStatement& SharedWriter::insertOfRows(std::size_t rows)
{
    std::unique_ptr<DbStatement>& insert = insertsOfRows_[rows];
    if (!insert)
        insert = connection_->prepare(insertSql(tableName_, withFields_, rows));
    return *insert;
}

void SharedWriter::appendAll(std::span<LogRecord> records)
{
    openConnection();
    for (const LogRecord& record : records)
        widenAddressFor(record);
    while (!records.empty()) {
        const std::size_t rows = std::min(records.size(), kRowsPerInsert);
        if (rows == 1) {
            records[0].id = append(records[0]);
        } else {
            values_.clear();
            for (std::size_t i = 0; i < rows; ++i)
                addValues(records[i]);
            DbStatement& insert = insertOfRows(rows);
            insert.runValues(values_);
            // The rows of one statement are stored in order, each numbered one
            // past the table's highest ID: the last row's ID gives them all.
            const qint64 last = insert.lastInsertId();
            for (std::size_t i = 0; i < rows; ++i)
                records[i].id = last - qint64(rows - 1 - i);
        }
        records = records.subspan(rows);
    }
}
