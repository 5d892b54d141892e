#include "ReceiverCore.h"

#include "Clock.h"
#include "DatagramIntake.h"
#include "DayRetention.h"
#include "Database.h"
#include "LogDatabase.h"
#include "LogRecord.h"
#include "SharedWriter.h"
#include "Timer.h"
#include "UdpSocket.h"

#include <QDir>

namespace {

// Drops are told at most this often while they grow.
constexpr qint64 kDropReportIntervalMs = 60 * 1000;

// Writes in a transaction and gives it up at once. A file that can be read
// but not written (read-only file, directory or mount, journal files left by
// another user) fails here; one that another program holds locked just now
// is writable.
void checkWritable(DbEngine& engine, const QString& path)
{
    const std::unique_ptr<DbConnection> connection = engine.open(path);
    try {
        connection->execute(QStringLiteral("BEGIN IMMEDIATE"));
        connection->execute(QStringLiteral("CREATE TABLE \"kiv-write-check\" (x)"));
    } catch (const DbError& error) {
        try {
            connection->execute(QStringLiteral("ROLLBACK"));
        } catch (const DbError&) {
        }
        if (error.text().contains(QLatin1String("locked")))
            return;
        throw;
    }
    connection->execute(QStringLiteral("ROLLBACK"));
}

} // namespace

ReceiverCore::ReceiverCore(CoreServices services, QObject* parent)
    : QObject(parent)
    , services_(std::move(services))
    , database_(std::make_unique<LogDatabase>(services_.readEngine, services_.dataDir, services_.clock))
    , writer_(std::make_unique<SharedWriter>(services_.writeEngine, database_->path(), services_.clock))
    , writeTimer_(services_.makeTimer(100))
    , secondTimer_(services_.makeTimer(1000))
    , queue_(std::make_unique<WriteQueue>(*writer_, *writeTimer_, recoveryLogPathIn(services_.dataDir),
                                          services_.clock))
    , socket_(services_.makeSocket())
{
    DatagramIntake::Events events;
    events.showLine = [this](const QString& line) { emit lineToShow(line); };
    events.dayTableCreated = [this](const QString& day) { emit dayTableCreated(day); };
    events.error = [this](const QString& text) { emit errorRaised(text); };
    events.dayStarted = [this](const QString&) { dropDaysNotKept(); };
    intake_ = std::make_unique<DatagramIntake>(*queue_, *writeTimer_, *database_, services_.clock, std::move(events));
    secondTimer_->setOnTimeout([this] { tick(); });
    socket_->setReceiver([this](const Datagram& datagram) {
        if (!shutDown_)
            intake_->udpWinscok_DataArrival(datagram);
    });
}

ReceiverCore::~ReceiverCore()
{
    socket_->setReceiver({});
    writeTimer_->stop();
    secondTimer_->stop();
}

void ReceiverCore::openDatabase()
{
    database_->EnsureLogDatabase();
    checkWritable(services_.writeEngine, database_->path());
    intake_->setCurrentDay(services_.clock.now().toString(QLatin1String(kDayFormat)));
    if (!queue_->RefreshSharedConnection())
        emit errorRaised(QStringLiteral("刷新共享数据库连接错误"));
    dropDaysNotKept();
}

// Each dropped day is told once. The file is not compacted: the cleaner does that.
void ReceiverCore::dropDaysNotKept()
{
    if (keepDays_ <= 0)
        return;
    const DayDropResult result = dropDaysOlderThan(*database_, keepDays_, services_.clock.now().date());
    for (const QString& day : result.dropped)
        emit problemReported(QStringLiteral("the log of %1 was dropped: only the last %2 days are kept")
                                 .arg(day)
                                 .arg(keepDays_));
    for (const QString& failure : result.failures)
        emit problemReported(QStringLiteral("a day older than %1 days could not be dropped: %2")
                                 .arg(keepDays_)
                                 .arg(failure));
    if (!result.dropped.isEmpty())
        emit daysDropped(result.dropped);
}

void ReceiverCore::startCounting() { secondTimer_->start(); }

ListeningPort& ReceiverCore::port() { return *socket_; }

void ReceiverCore::setFilterEnabled(qint16 enabled) { intake_->setFilterEnabled(enabled); }

qint16 ReceiverCore::filterEnabled() const { return intake_->FilterEnabled(); }

void ReceiverCore::tick()
{
    IntakeSecond counters;
    counters.FilteredCount = intake_->FilteredCount();
    counters.FilterEnabled = intake_->FilterEnabled();
    counters.ReceivedThisSecond = intake_->startNextSecond();
    counters.losses = losses();
    emit secondElapsed(counters);
    if (intake_->filtered().FilteredBufferChanged)
        emit filteredUpdated(takeFilteredUpdate(intake_->filtered(), sentGeneration_, sentCount_));
    reportProblems();
}

void ReceiverCore::handOverDatabase()
{
    socket_->close();
    queue_->FlushWriteQueue();
    writeTimer_->stop();
    writer_->close();
}

void ReceiverCore::takeBackDatabase() { writeTimer_->start(); }

void ReceiverCore::shutdown()
{
    if (shutDown_)
        return;
    // Everything read off the network before this point is handled and
    // queued by the close, then written; only then is intake shut.
    socket_->close();
    shutDown_ = true;
    queue_->FlushWriteQueue();
    writer_->close();
    writeTimer_->stop();
    secondTimer_->stop();
    reportProblems();
}

const StoreCounters& ReceiverCore::storeCounters() const { return queue_->counters(); }

LossCounts ReceiverCore::losses() const
{
    const UdpSocket::Losses socketLosses = socket_->losses();
    return {socketLosses.kernelDropped, socketLosses.queueDropped, queue_->counters().lost};
}

qint64 ReceiverCore::datagramsRead() const { return socket_->datagramsRead(); }

int ReceiverCore::receiveBufferBytes() const { return socket_->receiveBufferBytes(); }

QString ReceiverCore::databasePath() const { return database_->path(); }

QString ReceiverCore::recoveryLogPath() const { return queue_->recoveryLogPath(); }

QString ReceiverCore::summaryLine() const
{
    const StoreCounters& store = storeCounters();
    const LossCounts lost = losses();
    return QStringLiteral("%1 datagrams read; %2 records received, %3 stored, %4 in %5, %6 lost; "
                          "%7 datagrams dropped (%8 by the kernel, %9 waiting)")
        .arg(datagramsRead())
        .arg(store.received)
        .arg(store.stored)
        .arg(store.recovered)
        .arg(QDir::toNativeSeparators(recoveryLogPath()))
        .arg(store.lost)
        .arg(lost.kernelDropped + lost.queueDropped)
        .arg(lost.kernelDropped)
        .arg(lost.queueDropped);
}

// A storage failure is told once a second while it lasts; drops at most once
// a minute while they grow. Each line carries the exact totals.
void ReceiverCore::reportProblems()
{
    const StoreCounters& store = storeCounters();
    if (store.recovered != reportedStore_.recovered || store.lost != reportedStore_.lost) {
        QString reason = queue_->lastFailure();
        if (store.lost != reportedStore_.lost && !queue_->lastRecoveryFailure().isEmpty())
            reason += QStringLiteral("; ") + queue_->lastRecoveryFailure();
        emit problemReported(QStringLiteral("records are not reaching the database (%1): %2")
                                 .arg(reason, summaryLine()));
        reportedStore_ = store;
    }
    const LossCounts lost = losses();
    const qint64 drops = lost.kernelDropped + lost.queueDropped;
    const qint64 nowMs = services_.clock.currentMSecsSinceEpoch();
    if (drops != reportedDrops_ && (lastDropReportMs_ == 0 || nowMs - lastDropReportMs_ >= kDropReportIntervalMs)) {
        emit problemReported(QStringLiteral("datagrams are being dropped: %1").arg(summaryLine()));
        reportedDrops_ = drops;
        lastDropReportMs_ = nowMs;
    }
}
