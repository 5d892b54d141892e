#include "store/IntegrityCheck.h"

#include "platform/Database.h"

#include <memory>

namespace {

// Damage, as opposed to a file that cannot be read just now.
bool isDamage(const DbError& error)
{
    return error.code() == DbError::kCorrupt || error.code() == DbError::kNotADatabase;
}

} // namespace

IntegrityCheck::IntegrityCheck(DbEngine& engine, QString path) : engine_(engine), path_(std::move(path)) {}

IntegrityCheck::~IntegrityCheck() { cancel(); }

void IntegrityCheck::start(Done done)
{
    if (thread_.joinable())
        return;
    thread_ = std::thread([this, done = std::move(done)] { run(done); });
}

void IntegrityCheck::cancel()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        if (running_)
            running_->interrupt();
    }
    if (thread_.joinable())
        thread_.join();
}

void IntegrityCheck::run(const Done& done)
{
    IntegrityFindings findings;
    std::unique_ptr<DbConnection> connection;
    try {
        connection = engine_.open(path_, DbEngine::OpenMode::ReadOnly);
    } catch (const DbError& error) {
        if (isDamage(error))
            findings.damage << error.text();
        else
            findings.failure = error.text();
    }
    if (connection) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (cancelled_)
                return;
            running_ = connection.get();
        }
        findings = check(*connection);
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = nullptr;
    }
    connection.reset();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_)
            return;
    }
    done(findings);
}

IntegrityFindings IntegrityCheck::check(DbConnection& connection)
{
    IntegrityFindings findings;
    try {
        const std::unique_ptr<DbCursor> rows = connection.query(QStringLiteral("PRAGMA quick_check(%1)").arg(kMaxLines));
        while (rows->next()) {
            // A line may hold line breaks; the report is one line.
            const QString line = QString::fromUtf8(rows->utf8(0)).simplified();
            if (line != QLatin1String("ok"))
                findings.damage << line;
        }
    } catch (const DbError& error) {
        if (isDamage(error))
            findings.damage << error.text();
        else
            findings.failure = error.text();
    }
    return findings;
}
