#include "store/SharedWriter.h"

#include "platform/Clock.h"
#include "store/LogDatabase.h"

namespace {

QString insertSql(const QString& tableName, bool withFields)
{
    if (!withFields)
        return QStringLiteral("INSERT INTO %1 (\"时间\",\"IP地址\",\"信息\") VALUES (?,?,?)").arg(quoteName(tableName));
    return QStringLiteral("INSERT INTO %1 (\"时间\",\"IP地址\",\"信息\",\"facility\",\"severity\",\"host\",\"app\","
                          "\"procid\",\"msgid\",\"timestamp\",\"sd\",\"head\",\"msgpos\") "
                          "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)")
        .arg(quoteName(tableName));
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
    // The statement belongs to the connection and must go first. Closing a
    // connection inside a transaction rolls the transaction back.
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

qint64 SharedWriter::append(const LogRecord& record)
{
    openConnection();
    if (narrowAddress_ && record.ip.size() > kNarrowAddressLength) {
        insert_.reset();
        widenAddressColumn(*connection_, tableName_);
        narrowAddress_ = false;
        insert_ = connection_->prepare(insertSqlText_);
    }
    const LogFields& fields = record.fields;
    if (!withFields_) {
        insert_->runTexts({record.time, record.ip, record.message});
    } else { // a record without fields gets NULL in each
        insert_->runValues({record.time, record.ip, record.message, DbValue::orNull(fields.facility),
                            DbValue::orNull(fields.severity), DbValue::orNull(fields.host),
                            DbValue::orNull(fields.app), DbValue::orNull(fields.procid),
                            DbValue::orNull(fields.msgid), DbValue::orNull(fields.timestamp),
                            DbValue::orNull(fields.sd), DbValue::orNull(fields.head), DbValue::orNull(fields.msgPos)});
    }
    return insert_->lastInsertId();
}
