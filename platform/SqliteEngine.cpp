#include "SqliteEngine.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>

#include <QFileInfo>

namespace {

std::string utf8(const QString& text) { return text.toStdString(); }

// Runs an engine call and turns the engine's exceptions into DbError with its own text.
template <typename Call>
auto guarded(Call&& call) -> decltype(call())
{
    try {
        return call();
    } catch (const SQLite::Exception& e) {
        throw DbError(QString::fromUtf8(e.what()));
    } catch (const std::bad_alloc&) {
        throw DbError(QStringLiteral("out of memory"));
    }
}

class SqliteCursor final : public DbCursor {
public:
    SqliteCursor(SQLite::Database& db, const QString& sql, const QStringList& params) : statement_(db, utf8(sql))
    {
        for (int i = 0; i < params.size(); ++i)
            statement_.bind(i + 1, utf8(params[i]));
    }
    bool next() override
    {
        return guarded([&] { return statement_.executeStep(); });
    }
    std::optional<QString> text(const QString& column) const override
    {
        return guarded([&]() -> std::optional<QString> {
            const SQLite::Column value = statement_.getColumn(utf8(column).c_str());
            if (value.isNull())
                return std::nullopt;
            return QString::fromUtf8(value.getText());
        });
    }

private:
    mutable SQLite::Statement statement_;
};

class SqliteStatement final : public DbStatement {
public:
    SqliteStatement(SQLite::Database& db, const QString& sql) : statement_(db, utf8(sql)) {}
    void run(const QStringList& params) override
    {
        guarded([&] {
            statement_.reset();
            statement_.clearBindings();
            for (int i = 0; i < params.size(); ++i)
                statement_.bind(i + 1, utf8(params[i]));
            statement_.exec();
        });
    }

private:
    SQLite::Statement statement_;
};

class SqliteConnection final : public DbConnection {
public:
    SqliteConnection(const QString& path, int flags, int busyTimeoutMs)
        : db_(utf8(path), flags, busyTimeoutMs)
    {
        // Fails here, before anything is written, when the file is not a database.
        db_.exec("PRAGMA journal_mode=WAL");
        db_.exec("PRAGMA synchronous=NORMAL");
    }
    void execute(const QString& sql) override
    {
        guarded([&] { db_.exec(utf8(sql)); });
    }
    std::vector<TableInfo> tables() override
    {
        return guarded([&] {
            std::vector<TableInfo> result;
            SQLite::Statement listing(db_,
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
        return guarded([&] { return std::unique_ptr<DbStatement>(new SqliteStatement(db_, sql)); });
    }
    void begin() override { execute(QStringLiteral("BEGIN")); }
    void commit() override { execute(QStringLiteral("COMMIT")); }
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

    SQLite::Database db_;
};

} // namespace

std::unique_ptr<DbConnection> SqliteEngine::open(const QString& path, OpenMode mode)
{
    if (mode == OpenMode::ExistingOnly && !QFileInfo(path).isFile())
        throw DbError(QStringLiteral("unable to open database file: %1 does not exist").arg(path));
    const int flags = mode == OpenMode::CreateIfMissing ? SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE
                                                        : SQLite::OPEN_READWRITE;
    return guarded([&] { return std::unique_ptr<DbConnection>(new SqliteConnection(path, flags, busyTimeoutMs_)); });
}
