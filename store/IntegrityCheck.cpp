#include "store/IntegrityCheck.h"

#include "platform/Database.h"

#include <algorithm>
#include <chrono>
#include <memory>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// Damage, as opposed to a file that cannot be read just now.
bool isDamage(const DbError& error)
{
    return error.code() == DbError::kCorrupt || error.code() == DbError::kNotADatabase;
}

// The lowest processor and disk priority for the calling thread alone: intake goes first.
void yieldToEveryoneElse()
{
#ifdef Q_OS_LINUX
    const auto thread = id_t(::syscall(SYS_gettid));
    static_cast<void>(::setpriority(PRIO_PROCESS, thread, 19));
    constexpr int kWhoProcess = 1;
    constexpr int kClassIdle = 3;
    constexpr int kClassShift = 13;
    static_cast<void>(::syscall(SYS_ioprio_set, kWhoProcess, 0, kClassIdle << kClassShift));
#endif
}

} // namespace

IntegrityCheck::IntegrityCheck(DbEngine& engine, QString path, QString firstTable)
    : engine_(engine), path_(std::move(path)), firstTable_(std::move(firstTable))
{
}

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
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void IntegrityCheck::run(const Done& done)
{
    yieldToEveryoneElse();
    IntegrityFindings findings;
    try {
        const std::unique_ptr<DbConnection> connection = engine_.open(path_, DbEngine::OpenMode::ReadOnly);
        findings = checkTables(*connection);
    } catch (const DbError& error) {
        if (isDamage(error))
            findings.damage << error.text();
        else
            findings.failure = error.text();
    }
    if (!cancelled_)
        done(findings);
}

IntegrityFindings IntegrityCheck::checkTables(DbConnection& connection)
{
    QStringList names;
    for (const TableInfo& table : connection.tables())
        if (table.type == QLatin1String("TABLE"))
            names << table.name;
    std::sort(names.begin(), names.end(), std::greater<>());
    if (names.removeOne(firstTable_))
        names.prepend(firstTable_);

    IntegrityFindings findings;
    for (const QString& name : std::as_const(names)) {
        std::optional<QStringList> damage;
        while (!cancelled_ && !(damage = checkTable(connection, name)))
            if (!waitBeforeRetry())
                break;
        if (cancelled_)
            break;
        findings.damage = *damage;
        if (!findings.damage.isEmpty())
            break;
    }
    return findings;
}

std::optional<QStringList> IntegrityCheck::checkTable(DbConnection& connection, const QString& name)
{
    qint64 logAtStart = connection.logBytes();
    bool gaveWay = false;
    connection.setInterruptCheck([&] {
        const qint64 log = connection.logBytes();
        // The log started over: it counts from there.
        logAtStart = std::min(logAtStart, log);
        gaveWay = log - logAtStart > kMaxLogGrowthBytes;
        return gaveWay || cancelled_;
    });
    QStringList damage;
    try {
        QString quoted = name;
        quoted.replace(QLatin1Char('\''), QLatin1String("''"));
        const std::unique_ptr<DbCursor> rows = connection.query(QStringLiteral("PRAGMA quick_check('%1')").arg(quoted));
        while (rows->next() && damage.size() < kMaxLines) {
            // A line may hold line breaks; the report is one line.
            const QString line = QString::fromUtf8(rows->utf8(0)).simplified();
            if (line != QLatin1String("ok"))
                damage << line;
        }
    } catch (const DbError& error) {
        if (error.code() != DbError::kInterrupted) {
            connection.setInterruptCheck({});
            throw;
        }
    }
    connection.setInterruptCheck({});
    if (gaveWay || cancelled_)
        return std::nullopt;
    return damage;
}

bool IntegrityCheck::waitBeforeRetry()
{
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(kRetryAfterMs), [this] { return bool(cancelled_); });
}
