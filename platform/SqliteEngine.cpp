#include "platform/SqliteEngine.h"

#include "platform/FileAccess.h"
#include "platform/SqliteJoinedWal.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>

#include <QFileInfo>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// The file layer every connection opens its file through: the one that
// writes each commit into the log at once, where the platform allows it.
std::string fileLayer()
{
    const char* joined = joinedWalVfsName();
    return joined ? std::string(joined) : std::string();
}

std::string engineText(const QString& text) { return text.toStdString(); }

static_assert(DbError::kBusy == SQLITE_BUSY && DbError::kLocked == SQLITE_LOCKED && DbError::kNoMemory == SQLITE_NOMEM
              && DbError::kReadOnly == SQLITE_READONLY && DbError::kIoError == SQLITE_IOERR
              && DbError::kCorrupt == SQLITE_CORRUPT && DbError::kFull == SQLITE_FULL
              && DbError::kCantOpen == SQLITE_CANTOPEN && DbError::kNotADatabase == SQLITE_NOTADB
              && DbError::kError == SQLITE_ERROR && DbError::kInterrupted == SQLITE_INTERRUPT);

// The engine's extended code of a failed call; the wrapper's own checks carry none.
int extendedCodeOf(const SQLite::Exception& e)
{
    if (e.getExtendedErrorCode() > 0)
        return e.getExtendedErrorCode();
    return e.getErrorCode() > 0 ? e.getErrorCode() : SQLITE_ERROR;
}

// The engine's last failure on a connection, as DbError.
DbError lastError(sqlite3* db) { return DbError(QString::fromUtf8(sqlite3_errmsg(db)), sqlite3_extended_errcode(db)); }

// Runs an engine call and turns the engine's exceptions into DbError with its own text and codes.
template <typename Call>
auto guarded(Call&& call) -> decltype(call())
{
    try {
        return call();
    } catch (const SQLite::Exception& e) {
        throw DbError(QString::fromUtf8(e.what()), extendedCodeOf(e));
    } catch (const std::bad_alloc&) {
        throw DbError(QStringLiteral("out of memory"), SQLITE_NOMEM);
    }
}

// Cursors and statements share ownership of their database handle, so they
// stay valid even when the connection object that made them is gone first.
using SharedDatabase = std::shared_ptr<SQLite::Database>;

class SqliteCursor final : public DbCursor {
public:
    SqliteCursor(SharedDatabase db, const QString& sql, const QStringList& params)
        : db_(std::move(db)), statement_(*db_, engineText(sql))
    {
        for (int i = 0; i < params.size(); ++i)
            statement_.bind(i + 1, engineText(params[i]));
    }
    bool next() override
    {
        return guarded([&] { return statement_.executeStep(); });
    }
    std::optional<QString> text(const QString& column) const override
    {
        return guarded([&]() -> std::optional<QString> {
            const SQLite::Column value = statement_.getColumn(engineText(column).c_str());
            if (value.isNull())
                return std::nullopt;
            return QString::fromUtf8(value.getText());
        });
    }
    QByteArrayView utf8(int column) const override
    {
        return guarded([&] {
            const SQLite::Column value = statement_.getColumn(column);
            // The engine's rule: the text first, then its length.
            const char* text = value.getText();
            return QByteArrayView(text, value.getBytes());
        });
    }

private:
    SharedDatabase db_;
    mutable SQLite::Statement statement_;
};

// A prepared statement on the engine's own interface, so the per-record write
// path binds its texts without going through copies of std::string.
class SqliteStatement final : public DbStatement {
public:
    SqliteStatement(SharedDatabase owner, const QString& sql) : owner_(std::move(owner)), db_(owner_->getHandle())
    {
        const QByteArray text = sql.toUtf8();
        if (sqlite3_prepare_v2(db_, text.constData(), int(text.size()), &statement_, nullptr) != SQLITE_OK) {
            const DbError error = lastError(db_);
            sqlite3_finalize(statement_);
            throw error;
        }
    }
    ~SqliteStatement() override { sqlite3_finalize(statement_); }
    Q_DISABLE_COPY(SqliteStatement)

    void runTexts(std::initializer_list<QStringView> params) override
    {
        int position = 1;
        for (QStringView param : params)
            bindText(position++, param);
        stepToEnd(position - 1);
    }

    void runValues(std::span<const DbValue> params) override
    {
        int position = 1;
        for (const DbValue& param : params) {
            if (param.kind == DbValue::Kind::Text)
                bindText(position, param.text, param.owner);
            else
                bindNumberOrNull(position, param);
            ++position;
        }
        stepToEnd(position - 1);
    }
    qint64 lastInsertId() const override { return sqlite3_last_insert_rowid(db_); }

private:
    // What one parameter is bound to. The engine keeps a binding from one run
    // to the next, so a parameter that gets the same value as in the run
    // before is not bound again: in a flood from one sender most parameters
    // of a record (the second's time, the address, the host, the program, the
    // numbers) repeat, and binding costs the engine a lock and a copy each.
    struct Parameter {
        DbValue::Kind kind = DbValue::Kind::Null;
        bool bound = false;
        qint64 integer = 0;
        // The text's UTF-8 bytes, which the engine reads in place until the
        // parameter is bound again.
        QByteArray utf8;
        // A short text as it was last converted: one that repeats is not
        // converted again.
        QString lastShort;
    };

    Parameter& parameter(int position)
    {
        if (int(parameters_.size()) < position)
            parameters_.resize(std::size_t(position));
        return parameters_[std::size_t(position - 1)];
    }

    // Bound as UTF-8, the database's own encoding, so the engine need not
    // convert it. When the text is a string shared from one record to the
    // next, the statement keeps a share of it and knows it again by its
    // address, without comparing.
    void bindText(int position, QStringView text, const QString* owner = nullptr)
    {
        Parameter& slot = parameter(position);
        constexpr qsizetype shortText = 32;
        if (text.size() > shortText) {
            slot.utf8 = text.toUtf8();
            slot.lastShort = QString();
        } else if (slot.lastShort.isNull() || !sameText(slot.lastShort, text)) {
            slot.lastShort = keptCopy(text, owner);
            slot.utf8 = text.toUtf8();
        } else if (slot.bound && slot.kind == DbValue::Kind::Text) {
            return;
        }
        slot.bound = false;
        if (sqlite3_bind_text(statement_, position, slot.utf8.isNull() ? "" : slot.utf8.constData(),
                              int(slot.utf8.size()), SQLITE_STATIC)
            != SQLITE_OK)
            failAndReset();
        slot.kind = DbValue::Kind::Text;
        slot.bound = true;
    }
    void bindNumberOrNull(int position, const DbValue& value)
    {
        Parameter& slot = parameter(position);
        if (slot.bound && slot.kind == value.kind && (value.kind == DbValue::Kind::Null || slot.integer == value.integer))
            return;
        slot.bound = false;
        const int result = value.kind == DbValue::Kind::Integer ? sqlite3_bind_int64(statement_, position, value.integer)
                                                                : sqlite3_bind_null(statement_, position);
        if (result != SQLITE_OK)
            failAndReset();
        slot.kind = value.kind;
        slot.integer = value.integer;
        slot.bound = true;
    }
    // last keeps its characters alive: text cannot lie at the same address
    // unless it is the same string.
    static bool sameText(const QString& last, QStringView text)
    {
        return (last.constData() == text.data() && last.size() == text.size()) || QStringView(last) == text;
    }
    // A share of owner when it owns its characters; a copy of text otherwise
    // (characters it does not own could go and their address come back).
    static QString keptCopy(QStringView text, const QString* owner)
    {
        return owner && owner->data_ptr().isMutable() ? *owner : text.toString();
    }
    // bound: how many parameters this run bound. When that is all of them,
    // every one is bound afresh before the next run, so the bindings need not
    // be cleared (which costs a pass over all of them at every record).
    void stepToEnd(int bound)
    {
        int result = sqlite3_step(statement_);
        while (result == SQLITE_ROW)
            result = sqlite3_step(statement_);
        if (result != SQLITE_DONE)
            failAndReset();
        sqlite3_reset(statement_);
        if (bound < sqlite3_bind_parameter_count(statement_))
            clearBindings();
    }
    [[noreturn]] void failAndReset()
    {
        const DbError error = lastError(db_);
        sqlite3_reset(statement_);
        clearBindings();
        throw error;
    }
    void clearBindings()
    {
        sqlite3_clear_bindings(statement_);
        for (Parameter& each : parameters_)
            each.bound = false;
    }

    SharedDatabase owner_;
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
    std::vector<Parameter> parameters_;
};

// Checkpoints a database's write-ahead log on a thread of its own, through a
// connection of its own, whenever the writer's commits have put enough pages
// into it: the writer then never waits for the copying and the syncs. The log
// is synced as often as the engine would do it by itself (every
// kPagesPerCheckpoint pages), so a power cut costs no more than before. A
// writer that outruns it checkpoints itself once the log holds
// kPagesBeforeWriterSteps pages (128 MB), which also lets the log start
// over: only then does the writer wait for the disk, so the less often the
// better, and a log kept that large for the rest of the run costs only disk.
class BackgroundCheckpointer {
public:
    static constexpr int kPagesPerCheckpoint = 1000;
    static constexpr int kPagesBeforeWriterSteps = 32000;

    BackgroundCheckpointer(sqlite3* writer, std::string path) : writer_(writer), path_(std::move(path))
    {
        sqlite3_wal_hook(writer_, &BackgroundCheckpointer::afterCommit, this);
        thread_ = std::thread([this] { run(); });
    }
    ~BackgroundCheckpointer()
    {
        // The engine checkpoints by itself again, as every other connection does.
        sqlite3_wal_autocheckpoint(writer_, kPagesPerCheckpoint);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    Q_DISABLE_COPY(BackgroundCheckpointer)

private:
    static int afterCommit(void* self, sqlite3* db, const char* schema, int pages)
    {
        auto* checkpointer = static_cast<BackgroundCheckpointer*>(self);
        if (pages >= kPagesBeforeWriterSteps)
            sqlite3_wal_checkpoint_v2(db, schema, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        else if (pages - checkpointer->pagesAtLastRequest_ >= kPagesPerCheckpoint || pages < checkpointer->pagesAtLastRequest_)
            checkpointer->request(pages);
        return SQLITE_OK;
    }

    void request(int pages)
    {
        pagesAtLastRequest_ = pages;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pending_ = true;
        }
        wake_.notify_one();
    }

    void run()
    {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            db = nullptr;
        }
        bool inWalMode = false;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return pending_ || stopping_; });
            if (stopping_)
                break;
            pending_ = false;
            lock.unlock();
            // A connection learns that the file is in WAL mode only from a
            // read: until then its checkpoints would do nothing at all. A
            // checkpoint (or that read) that finds the file busy simply waits
            // for the next request.
            inWalMode = inWalMode
                     || (db
                         && sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr)
                                == SQLITE_OK);
            if (inWalMode)
                sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            lock.lock();
        }
        lock.unlock();
        sqlite3_close(db);
    }

    sqlite3* writer_;
    std::string path_;
    // Only the writer's thread touches this.
    int pagesAtLastRequest_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool pending_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

class SqliteConnection final : public DbConnection {
public:
    SqliteConnection(const QString& path, int flags, int busyTimeoutMs)
        : db_(std::make_shared<SQLite::Database>(engineText(path), flags, busyTimeoutMs, fileLayer()))
    {
        // A double-quoted name that matches no column must be an error, not
        // silently read as a text constant ("ID" on a table without ID).
        sqlite3_db_config(db_->getHandle(), SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
        sqlite3_db_config(db_->getHandle(), SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
        if (flags & SQLite::OPEN_READONLY) {
            // A reader leaves the file's journal mode alone (a writer has set
            // WAL); this read fails when the file is not a database.
            db_->exec("SELECT count(*) FROM sqlite_master");
            return;
        }
        // Fails here, before anything is written, when the file is not a database.
        db_->exec("PRAGMA journal_mode=WAL");
        db_->exec("PRAGMA synchronous=NORMAL");
    }
    ~SqliteConnection() override
    {
        checkpointer_.reset();
        // Cursors may keep the database open after this object is gone.
        sqlite3_progress_handler(db_->getHandle(), 0, nullptr, nullptr);
    }
    void keepLogOnAnotherThread() override
    {
        if (!checkpointer_)
            checkpointer_ = std::make_unique<BackgroundCheckpointer>(db_->getHandle(), db_->getFilename());
    }
    void execute(const QString& sql) override
    {
        guarded([&] { db_->exec(engineText(sql)); });
    }
    std::vector<TableInfo> tables() override
    {
        return guarded([&] {
            std::vector<TableInfo> result;
            SQLite::Statement listing(*db_,
                "SELECT name, type FROM sqlite_master WHERE type IN ('table', 'view') ORDER BY name");
            while (listing.executeStep()) {
                const QString name = QString::fromUtf8(listing.getColumn(0).getText());
                const QString type = QString::fromUtf8(listing.getColumn(1).getText());
                result.push_back({name, kindOf(name, type)});
            }
            return result;
        });
    }
    std::unique_ptr<DbCursor> query(const QString& sql, const QStringList& params) override
    {
        return guarded([&] { return std::unique_ptr<DbCursor>(new SqliteCursor(db_, sql, params)); });
    }
    std::unique_ptr<DbStatement> prepare(const QString& sql) override
    {
        return std::unique_ptr<DbStatement>(new SqliteStatement(db_, sql));
    }
    void setInterruptCheck(std::function<bool()> shouldStop) override
    {
        interruptCheck_ = std::move(shouldStop);
        if (!interruptCheck_) {
            sqlite3_progress_handler(db_->getHandle(), 0, nullptr, nullptr);
            return;
        }
        sqlite3_progress_handler(
            db_->getHandle(), kStepsPerInterruptCheck,
            [](void* self) { return static_cast<SqliteConnection*>(self)->interruptCheck_() ? 1 : 0; }, this);
    }
    // Looked up by name, never opened: closing a descriptor of a file would
    // drop every lock this process holds on it, the engine's own included.
    qint64 logBytes() override
    {
        const QFileInfo log(logPath_);
        return log.exists() ? log.size() : 0;
    }
    // Prepared once: a busy writer begins and commits a transaction every
    // ten records, and compiling the statement each time costs more than
    // running it.
    void begin() override { runPrepared(begin_, QStringLiteral("BEGIN")); }
    void commit() override { runPrepared(commit_, QStringLiteral("COMMIT")); }
    void rollback() override { execute(QStringLiteral("ROLLBACK")); }

private:
    static QString kindOf(const QString& name, const QString& type)
    {
        if (type == QLatin1String("view"))
            return QStringLiteral("VIEW");
        if (name.startsWith(QLatin1String("sqlite_"), Qt::CaseInsensitive))
            return QStringLiteral("SYSTEM TABLE");
        return QStringLiteral("TABLE");
    }

    // Steps of a statement between two interrupt checks: well under a millisecond.
    static constexpr int kStepsPerInterruptCheck = 1000;

    void runPrepared(std::unique_ptr<SqliteStatement>& statement, const QString& sql)
    {
        if (!statement)
            statement = guarded([&] { return std::make_unique<SqliteStatement>(db_, sql); });
        statement->runTexts({});
    }

    SharedDatabase db_;
    std::unique_ptr<BackgroundCheckpointer> checkpointer_;
    std::unique_ptr<SqliteStatement> begin_;
    std::unique_ptr<SqliteStatement> commit_;
    std::function<bool()> interruptCheck_;
    const QString logPath_ = QString::fromStdString(db_->getFilename()) + QStringLiteral("-wal");
};

} // namespace

std::unique_ptr<DbConnection> SqliteEngine::open(const QString& path, OpenMode mode)
{
    // The engine's count of its own memory takes a global lock around every
    // allocation; nothing here reads it.
    static const int memoryCountOff = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    Q_UNUSED(memoryCountOff);
    if (mode != OpenMode::CreateIfMissing && !QFileInfo(path).isFile())
        throw DbError(QStringLiteral("unable to open database file: %1 does not exist").arg(path), SQLITE_CANTOPEN);
    // The engine would make the file readable by everyone. When this cannot
    // make it, the engine's open below fails and tells why.
    if (mode == OpenMode::CreateIfMissing)
        static_cast<void>(makeRecordFile(path));
    // A connection is used by one thread at a time, so the engine's own
    // locking around every call is not needed.
    const int flags = (mode == OpenMode::CreateIfMissing ? SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE
                       : mode == OpenMode::ReadOnly      ? SQLite::OPEN_READONLY
                                                         : SQLite::OPEN_READWRITE)
                    | SQLITE_OPEN_NOMUTEX;
    return guarded([&] { return std::unique_ptr<DbConnection>(new SqliteConnection(path, flags, busyTimeoutMs_)); });
}
