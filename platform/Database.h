#pragma once

#include <QByteArrayView>
#include <QtGlobal>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

// The embedded SQL database behind the log store.
//
// Every failure is thrown as DbError: the engine's own text, shown to users as
// it is, and the engine's result codes, by which callers tell failures apart.
class DbError : public std::runtime_error {
public:
    // The engine's primary result codes that callers tell apart (SQLite's values):
    // kBusy, another connection holds a lock on the file; kLocked, a lock held
    // within this connection; kReadOnly, the file, its directory or the
    // connection cannot be written; kFull, the disk is full; kInterrupted, the
    // connection's interrupt check stopped the statement.
    enum Code : int {
        kError = 1, kBusy = 5, kLocked = 6, kNoMemory = 7, kReadOnly = 8, kInterrupted = 9,
        kIoError = 10, kCorrupt = 11, kFull = 13, kCantOpen = 14, kNotADatabase = 26,
    };

    // extendedCode: the engine's extended result code, whose low byte is the
    // primary code (kBusy for SQLITE_BUSY_SNAPSHOT); the primary code itself
    // when there is no other.
    explicit DbError(const QString& text, int extendedCode = kError)
        : std::runtime_error(text.toStdString()), extendedCode_(extendedCode)
    {
    }
    QString text() const { return QString::fromStdString(what()); }
    int code() const { return extendedCode_ & 0xff; }
    int extendedCode() const { return extendedCode_; }
    // A lock stands in the way just now (kBusy or kLocked): the same request can succeed later.
    bool isLockHeld() const { return code() == kBusy || code() == kLocked; }

private:
    int extendedCode_;
};

// One entry of a connection's table listing.
struct TableInfo {
    QString name;
    // "TABLE" for ordinary tables, "SYSTEM TABLE" for the engine's own tables,
    // "VIEW" for views.
    QString type;
};

// A forward-only pass over the rows of a query.
class DbCursor {
public:
    virtual ~DbCursor() = default;
    // Moves to the next row; false at the end.
    virtual bool next() = 0;
    // The text of a column of the current row by name; nullopt for NULL.
    virtual std::optional<QString> text(const QString& column) const = 0;
    // The text of a column of the current row by position (0 for the first
    // column of the query), as the engine's own UTF-8 bytes, without any
    // conversion; empty for NULL. Valid until the next call of next(). Meant
    // for passes over very many rows.
    virtual QByteArrayView utf8(int column) const = 0;
};

// One parameter of DbStatement::runValues(): NULL, an integer or a text (the
// text is bound where it lies, so it must outlive the call).
struct DbValue {
    enum class Kind : quint8 { Null, Integer, Text };

    DbValue() = default;
    DbValue(qint64 number) : kind(Kind::Integer), integer(number) {}
    DbValue(QStringView value) : kind(Kind::Text), text(value) {}
    DbValue(const QString& value) : kind(Kind::Text), text(value), owner(&value) {}
    // NULL for a null text, the text otherwise (an empty one included).
    static DbValue orNull(const QString& value) { return value.isNull() ? DbValue() : DbValue(value); }
    // NULL for a negative number.
    static DbValue orNull(int number) { return number < 0 ? DbValue() : DbValue(qint64(number)); }

    Kind kind = Kind::Null;
    qint64 integer = 0;
    QStringView text;
    // The string text lies in, when known (alive for the run that binds it):
    // a statement may keep a share of it.
    const QString* owner = nullptr;
};

// A statement prepared once and run many times with text parameters.
class DbStatement {
public:
    virtual ~DbStatement() = default;
    // Runs with NULL, integer and text parameters, bound in order.
    void runValues(std::initializer_list<DbValue> params) { runValues(std::span(params.begin(), params.size())); }
    virtual void runValues(std::span<const DbValue> params) = 0;
    // The ID (rowid) of the row the connection inserted last.
    virtual qint64 lastInsertId() const = 0;
    // Runs with text parameters, bound where they lie (not copied) and
    // released before the call returns.
    virtual void runTexts(std::initializer_list<QStringView> params) = 0;
};

class DbConnection {
public:
    virtual ~DbConnection() = default;
    virtual void execute(const QString& sql) = 0;
    // Every table and view, ascending by name.
    virtual std::vector<TableInfo> tables() = 0;
    virtual std::unique_ptr<DbCursor> query(const QString& sql, const QStringList& params = {}) = 0;
    virtual std::unique_ptr<DbStatement> prepare(const QString& sql) = 0;
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    // For a connection that writes for a long time: the engine's periodic
    // housekeeping of its log (copying it into the file and syncing) runs on a
    // thread of its own instead of inside the commits. An engine without such
    // housekeeping has nothing to move.
    virtual void keepLogOnAnotherThread() {}
    // Called, on the connection's thread, every so often while a statement
    // runs: true stops the statement, which then fails with kInterrupted.
    // Null takes the check away. An engine that cannot stop a statement
    // ignores it.
    virtual void setInterruptCheck(std::function<bool()> shouldStop) { Q_UNUSED(shouldStop); }
    // The size in bytes of the file's write-ahead log file; 0 without one. The
    // file grows only when the log outgrows what it held before, as when a
    // long read keeps it from starting over. Cheap enough for an interrupt check.
    virtual qint64 logBytes() { return 0; }
};

class DbEngine {
public:
    enum class OpenMode {
        ExistingOnly,     // fail when the file does not exist
        CreateIfMissing,  // create an empty database when the file does not exist
        ReadOnly,         // fail when the file does not exist; never write to the file
    };
    virtual ~DbEngine() = default;
    virtual std::unique_ptr<DbConnection> open(const QString& path, OpenMode mode = OpenMode::ExistingOnly) = 0;
};
