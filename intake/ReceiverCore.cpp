#include "intake/ReceiverCore.h"

#include "intake/DatagramIntake.h"
#include "net/TlsCredentials.h"
#include "platform/Clock.h"
#include "platform/Database.h"
#include "platform/Timer.h"
#include "platform/UdpSocket.h"
#include "rules/RuleActions.h"
#include "rules/RuleMatching.h"
#include "rules/RulesFile.h"
#include "settings/Settings.h"
#include "settings/SettingsTexts.h"
#include "store/DayRetention.h"
#include "store/LogDatabase.h"
#include "store/LogRecord.h"
#include "store/SearchIndexBuilder.h"
#include "store/SharedWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <algorithm>

namespace {

// Drops, refused or faulty TCP connections and forwarding misses are told at
// most this often while they grow.
constexpr qint64 kDropReportIntervalMs = 60 * 1000;
// At shutdown, forwarding gets this long to send what waits.
constexpr int kForwardGraceMs = 2000;

// Writes in a transaction and gives it up at once (closing the connection
// rolls it back). A file that can be read but not written (read-only file,
// directory or mount, journal files left by another user) fails here; one
// that another program holds locked just now is writable.
void checkWritable(DbEngine& engine, const QString& path)
{
    const std::unique_ptr<DbConnection> connection = engine.open(path);
    try {
        connection->execute(QStringLiteral("BEGIN IMMEDIATE"));
        connection->execute(QStringLiteral("CREATE TABLE \"kiv-write-check\" (x)"));
    } catch (const DbError& error) {
        if (!error.isLockHeld())
            throw;
    }
}

} // namespace

// The port as the window and the service see it: UDP, and TCP beside it.
class ReceiverCore::Port final : public ListeningPort {
public:
    explicit Port(ReceiverCore& core) : core_(core) {}
    bool setLocalPort(int port) override { return core_.socket_->setLocalPort(port); }
    int localPort() const override { return core_.socket_->localPort(); }
    Result<> bind() override { return core_.bindPort(); }
    void close() override { core_.closePort(); }
    bool isBound() const override { return core_.socket_->isBound(); }

private:
    ReceiverCore& core_;
};

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
    events.showRecord = [this](const LogRecord& record) { emit recordToShow(record); };
    events.dayTableCreated = [this](const QString& day) { emit dayTableCreated(day); };
    events.error = [this](const QString& text) { emit errorRaised(text); };
    events.dayStarted = [this](const QString&) {
        dropDaysNotKept();
        if (indexBuilder_)
            indexBuilder_->wake();
    };
    intake_ = std::make_unique<DatagramIntake>(*queue_, *writeTimer_, *database_, services_.clock, std::move(events));
    secondTimer_->setOnTimeout([this] { tick(); });
    socket_->setReceiver([this](const Datagram& datagram) {
        if (!shutDown_)
            intake_->handleDatagram(datagram);
    });
    const auto deliver = [this](const QByteArray& message, const QString& peerIp) {
        return shutDown_ || intake_->handleStreamMessage(message, peerIp);
    };
    tcp_ = std::make_unique<TcpIntake>(deliver, services_.clock);
    tls_ = std::make_unique<TcpIntake>(deliver, services_.clock);
    // Nothing is read over TCP or TLS that could not be stored: the senders wait.
    queue_->setOnHoldingChanged([this](bool holding) {
        tcp_->setPaused(holding);
        tls_->setPaused(holding);
        reportHolding(holding);
    });
    port_ = std::make_unique<Port>(*this);
}

ReceiverCore::~ReceiverCore()
{
    indexBuilder_.reset();
    integrityCheck_.reset();
    intake_->setOnKept({});
    rulesFile_.reset();
    ruleMatching_.reset();
    ruleActions_.reset();
    queue_->setOnHoldingChanged({});
    tcp_.reset();
    tls_.reset();
    intake_->setOnAccepted({});
    forwarder_.reset();
    socket_->setReceiver({});
    writeTimer_->stop();
    secondTimer_->stop();
}

void ReceiverCore::openDatabase()
{
    // Without a store: TCP on, nothing forwarded, as with no values stored.
    tcpEnabled_ = services_.settings ? loadTcpEnabled(*services_.settings) : true;
    const std::optional<int> minSeverity = services_.settings ? loadMinSeverity(*services_.settings) : std::nullopt;
    intake_->setMinSeverity(minSeverity.value_or(-1));
    if (minSeverity == -1)
        emit problemReported(QStringLiteral("minseverity=%1 is not a number of 0 to 7: no message is filtered by severity")
                                 .arg(services_.settings->read(settingstexts::minSeverityValueName())));
    tcp_->setMaxConnectionsPerAddress(services_.settings ? loadTcpConnectionsPerAddress(*services_.settings)
                                                         : TcpIntakeOptions{}.maxConnectionsPerAddress);
    tls_->setMaxConnectionsPerAddress(tcp_->options().maxConnectionsPerAddress);
    database_->ensureFileAndTodayTable();
    checkWritable(services_.writeEngine, database_->path());
    intake_->setCurrentDay(services_.clock.now().toString(QLatin1String(kDayFormat)));
    if (!queue_->reopenWritePath())
        emit errorRaised(QStringLiteral("刷新共享数据库连接错误"));
    dropDaysNotKept();
    startIndexing();
    if (!tlsRead_) {
        tlsRead_ = true;
        configureTls();
    }
    if (!forwardingRead_) {
        forwardingRead_ = true;
        startForwarding(services_.settings ? loadForwardSetting(*services_.settings) : QString());
        startRules();
    }
    if (!integrityCheck_) {
        // Told on this thread, once; never if the receiver goes first.
        integrityCheck_ =
            std::make_unique<IntegrityCheck>(services_.readEngine, database_->path(), database_->todayTableName());
        integrityCheck_->start([this](const IntegrityFindings& findings) {
            QMetaObject::invokeMethod(this, [this, findings] { reportIntegrity(findings); }, Qt::QueuedConnection);
        });
    }
}

void ReceiverCore::reportIntegrity(const IntegrityFindings& findings)
{
    const QString file = QDir::toNativeSeparators(database_->path());
    if (!findings.failure.isEmpty()) {
        emit problemReported(QStringLiteral("the log database %1 could not be checked for damage: %2")
                                 .arg(file, findings.failure));
        return;
    }
    if (findings.damage.isEmpty())
        return;
    emit problemReported(QStringLiteral("the log database %1 is damaged; a quick check found: %2. Records are still "
                                        "stored in it, but some stored ones may not be readable: copy the file "
                                        "away and recover it (sqlite3's .recover)")
                             .arg(file, findings.damage.join(QStringLiteral("; "))));
    emit errorRaised(QCoreApplication::translate("ReceiverCore",
                                                 "The log database %1 is damaged: %2\n"
                                                 "Records are still stored in it, but some stored ones may not be "
                                                 "readable. Copy the file away and recover it (sqlite3's .recover).")
                         .arg(file, findings.damage.first()));
}

// The builder tells its failures on its own thread; they are told from this one.
void ReceiverCore::startIndexing()
{
    if (!services_.indexClosedDays)
        return;
    if (indexBuilder_) {
        indexBuilder_->wake();
        return;
    }
    QPointer<ReceiverCore> self(this);
    indexBuilder_ = std::make_unique<SearchIndexBuilder>(
        services_.readEngine, services_.dataDir, services_.clock, [self](const QString& line) {
            QMetaObject::invokeMethod(
                self, [self, line] { emit self->problemReported(line); }, Qt::QueuedConnection);
        });
}

// Forwarding runs from the start to the end of the program: a changed setting
// takes effect at the next start.
void ReceiverCore::startForwarding(const QString& settingText)
{
    ParsedForwardDestinations parsed = parseForwardDestinations(settingText);
    for (const QString& error : parsed.errors)
        emit problemReported(error);
    ForwarderOptions options;
    const bool anyTls = std::any_of(parsed.destinations.begin(), parsed.destinations.end(), [](const auto& d) {
        return d.transport == ForwardDestination::Transport::Tls;
    });
    if (anyTls) {
        // The collector's certificate is verified against "tlsca" when it is
        // set (and against nothing else), else against the system's
        // authorities; this side's certificate is offered when it can be read.
        Result<> usable = tlsAvailable();
        QList<QSslCertificate> authorities;
        if (usable && !tlsSettings_.authorities.isEmpty()) {
            Result<QList<QSslCertificate>> loaded = loadTlsAuthorities(tlsSettings_.authorities);
            if (loaded)
                authorities = *loaded;
            else
                usable = Failure{loaded.error()};
        }
        TlsIdentity identity;
        if (usable && tlsSettings_.hasIdentity()) {
            if (Result<TlsIdentity> loaded = loadTlsIdentity(tlsSettings_.certificate, tlsSettings_.key))
                identity = *loaded;
        }
        if (usable) {
            options.tlsConfiguration = tlsClientConfiguration(identity, authorities);
        } else {
            for (qsizetype i = parsed.destinations.size() - 1; i >= 0; --i) {
                if (parsed.destinations[i].transport != ForwardDestination::Transport::Tls)
                    continue;
                emit problemReported(QStringLiteral("Forwarding destination \"%1\" ignored: %2.")
                                         .arg(parsed.destinations[i].text(), usable.error()));
                parsed.destinations.removeAt(i);
            }
        }
    }
    if (parsed.destinations.isEmpty())
        return;
    forwarder_ = std::make_unique<Forwarder>(parsed.destinations, options);
    intake_->setOnAccepted([forwarder = forwarder_.get()](const QByteArray& bytes, const QString& ip,
                                                          const QDateTime& arrival) {
        forwarder->forward(bytes, ip, arrival);
    });
    QStringList names;
    for (const ForwardDestination& destination : parsed.destinations)
        names << destination.text();
    emit problemReported(QStringLiteral("forwarding every accepted message to %1").arg(names.join(QStringLiteral(", "))));
}

// Syslog over TLS is received when "tlscert" and "tlskey" are set; files
// that cannot be used are told once, and UDP and TCP go on without it.
void ReceiverCore::configureTls()
{
    tlsSettings_ = services_.settings ? loadTlsSettings(*services_.settings) : TlsSettings{};
    if (!tlsSettings_.hasIdentity())
        return;
    Result<QSslConfiguration> configuration = [this]() -> Result<QSslConfiguration> {
        if (tlsSettings_.port == 0)
            return Failure{QStringLiteral("tlsport=%1 is not a port (1 to 65535)").arg(tlsSettings_.portText)};
        if (const Result<> available = tlsAvailable(); !available)
            return Failure{available.error()};
        const Result<TlsIdentity> identity = loadTlsIdentity(tlsSettings_.certificate, tlsSettings_.key);
        if (!identity)
            return Failure{identity.error()};
        QList<QSslCertificate> authorities;
        if (!tlsSettings_.authorities.isEmpty()) {
            const Result<QList<QSslCertificate>> loaded = loadTlsAuthorities(tlsSettings_.authorities);
            if (!loaded)
                return Failure{loaded.error()};
            authorities = *loaded;
        }
        return tlsServerConfiguration(*identity, authorities);
    }();
    if (!configuration) {
        tlsUnavailable_ = configuration.error();
        emit problemReported(QStringLiteral("syslog over TLS is not received: %1; UDP and TCP are").arg(tlsUnavailable_));
        return;
    }
    tls_->setTls(*configuration);
}

// TLS listens on its own port whenever the UDP port is bound. A port that
// cannot be bound is told once per reason.
void ReceiverCore::listenTls()
{
    tls_->close();
    if (!tls_->isTls())
        return;
    const Result<> listening = tls_->listen(tlsSettings_.port);
    const QString reason = listening ? QString()
                                     : QStringLiteral("TLS port %1 cannot be bound (%2)")
                                           .arg(tlsSettings_.port)
                                           .arg(listening.error().isEmpty() ? QStringLiteral("unknown error")
                                                                            : listening.error());
    if (!reason.isEmpty() && reason != tlsUnavailable_)
        emit problemReported(QStringLiteral("%1: syslog over TLS is not received, UDP and TCP are").arg(reason));
    tlsUnavailable_ = reason;
}

void ReceiverCore::startRules()
{
    ruleActions_ = std::make_unique<RuleActions>(services_.settings);
    connect(ruleActions_.get(), &RuleActions::finished, this, [this](bool ok, const QString& line) {
        if (!ok)
            emit problemReported(line);
    });
    ruleMatching_ = std::make_unique<RuleMatching>(services_.clock, services_.matchRulesOnOwnThread
                                                                        ? RuleMatching::Threading::OwnThread
                                                                        : RuleMatching::Threading::CallerThread);
    connect(ruleMatching_.get(), &RuleMatching::fired, this, [this](const Rule& rule, const RuleFiring& firing) {
        // Rules without a cooldown could otherwise flood the windows.
        if (std::any_of(rule.actions.begin(), rule.actions.end(),
                        [](const RuleAction& action) { return action.kind == RuleAction::Kind::Notify; })) {
            if (notificationsThisSecond_ < kNotificationsPerSecond) {
                ++notificationsThisSecond_;
                emit ruleFired(firing);
            } else {
                ++notificationsDropped_;
            }
        }
        ruleActions_->submit(rule, firing);
    });
    intake_->setOnKept([matching = ruleMatching_.get()](const LogRecord& record) { matching->offer(record); });
    rulesFile_ = std::make_unique<RulesFile>(services_.dataDir);
    connect(rulesFile_.get(), &RulesFile::loaded, this, &ReceiverCore::applyRules);
    rulesFile_->start();
}

// Each fault is told once while it lasts: a fault mended and made again is told again.
void ReceiverCore::applyRules(const ParsedRules& parsed)
{
    ruleMatching_->setRules(parsed.rules);
    const QString file = QDir::toNativeSeparators(rulesFile_->path());
    QStringList faults;
    if (!parsed.fileFault.isEmpty())
        faults << parsed.fileFault;
    for (const RuleFault& fault : parsed.faults)
        faults << fault.text();
    QStringList newFaults;
    for (const QString& fault : faults)
        if (!reportedRuleFaults_.contains(fault))
            newFaults << fault;
    reportedRuleFaults_ = faults;
    if (!parsed.fileFault.isEmpty() && newFaults.contains(parsed.fileFault))
        emit problemReported(QStringLiteral("the rules file %1 cannot be used: %2; no rule works until it is mended")
                                 .arg(file, parsed.fileFault));
    for (const QString& fault : newFaults)
        if (fault != parsed.fileFault)
            emit problemReported(QStringLiteral("the rules file %1: %2; that rule is left out, the others work")
                                     .arg(file, fault));
    if (!newFaults.isEmpty())
        emit errorRaised(QCoreApplication::translate("ReceiverCore",
                                                     "The rules file %1 has faults; what they name is left out, "
                                                     "the other rules work:\n%2")
                             .arg(file, newFaults.join(u'\n')));
    if (QFileInfo::exists(rulesFile_->path())) {
        const qsizetype enabled = std::count_if(parsed.rules.begin(), parsed.rules.end(),
                                                [](const Rule& rule) { return rule.enabled; });
        emit problemReported(
            QStringLiteral("rules: %1 read from %2 (%3 enabled)").arg(parsed.rules.size()).arg(file).arg(enabled));
    }
    sentRulesState_ = rulesState();
    emit rulesChanged(sentRulesState_);
}

RulesState ReceiverCore::rulesState() const
{
    RulesState state;
    if (!rulesFile_)
        return state;
    state.file = QDir::toNativeSeparators(rulesFile_->path());
    state.counters = ruleMatching_->counters();
    state.recordsUntested = ruleMatching_->untested();
    state.faults = reportedRuleFaults_;
    state.actionsDropped = ruleActions_->dropped();
    state.actionsFailed = ruleActions_->failed();
    state.notificationsDropped = notificationsDropped_;
    return state;
}

void ReceiverCore::reloadRules()
{
    if (rulesFile_)
        rulesFile_->reload();
}

QString ReceiverCore::rulesSummary() const
{
    if (!ruleMatching_ || ruleMatching_->rules().isEmpty())
        return {};
    qint64 fired = 0;
    for (const RuleCounter& counter : ruleMatching_->counters())
        fired += counter.fired;
    return QStringLiteral("; rules: %1 fired, %2 actions dropped (too many waiting), %3 failed, %4 unfinished, %5 "
                          "notifications dropped (more than %6 a second), %7 records not tested (too many waiting)")
        .arg(fired)
        .arg(ruleActions_->dropped())
        .arg(ruleActions_->failed())
        .arg(ruleActions_->pending())
        .arg(notificationsDropped_)
        .arg(kNotificationsPerSecond)
        .arg(ruleMatching_->untested())
        + forwardedByRules();
}

// What the rules' forward actions sent and missed.
QString ReceiverCore::forwardedByRules() const
{
    QStringList lines;
    for (const ForwardStatus& status : ruleActions_->forwardStatus())
        lines << describeForwardStatus(status);
    return lines.isEmpty() ? QString() : QStringLiteral("; forwarded by rules: ") + lines.join(QStringLiteral(" | "));
}

QList<ForwardStatus> ReceiverCore::forwardStatus() const
{
    return forwarder_ ? forwarder_->status() : QList<ForwardStatus>{};
}

// TCP follows UDP: it listens on the port whenever UDP is bound to it. A TCP
// port that cannot be bound leaves UDP working; the reason is told once.
Result<> ReceiverCore::bindPort()
{
    tcp_->close();
    tls_->close();
    const Result<> bound = socket_->bind();
    emit stateChanged();
    if (!bound)
        return bound;
    listenTls();
    if (!tcpEnabled_)
        return bound;
    const Result<> listening = tcp_->listen(quint16(socket_->localPort()));
    if (listening) {
        tcpBindError_.clear();
        return {};
    }
    QString reason = listening.error();
    if (reason.isEmpty())
        reason = QStringLiteral("unknown error");
    if (reason != tcpBindError_)
        emit problemReported(QStringLiteral("TCP port %1 cannot be bound (%2): syslog over TCP is not received, "
                                            "UDP is")
                                 .arg(socket_->localPort())
                                 .arg(reason));
    tcpBindError_ = reason;
    return {};
}

// UDP first, as always; then TCP, handling what its connections had received.
void ReceiverCore::closePort()
{
    socket_->close();
    tcp_->close();
    tls_->close();
    emit stateChanged();
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
    if (!result.dropped.isEmpty()) {
        emit daysDropped(result.dropped);
        // The builder forgets the index of the dropped days.
        if (indexBuilder_)
            indexBuilder_->wake();
    }
}

void ReceiverCore::startCounting() { secondTimer_->start(); }

ListeningPort& ReceiverCore::port() { return *port_; }

void ReceiverCore::setFilterEnabled(qint16 enabled)
{
    intake_->setFilterEnabled(enabled);
    emit stateChanged();
}

qint16 ReceiverCore::filterEnabled() const { return intake_->filterEnabled(); }

void ReceiverCore::tick()
{
    IntakeSecond counters;
    counters.filteredCount = intake_->filteredCount();
    counters.filterEnabled = intake_->filterEnabled();
    counters.minSeverity = qint16(intake_->minSeverity());
    counters.receivedThisSecond = intake_->startNextSecond();
    if (indexBuilder_)
        indexBuilder_->noteIntakeSecond(counters.receivedThisSecond);
    counters.losses = losses();
    if (tcpEnabled_)
        counters.tcpUnavailable = tcpBindError_;
    for (const ForwardStatus& status : forwardStatus())
        if (status.missed > 0)
            counters.forwardMisses << describeForwardStatus(status);
    tcp_->sweep();
    tls_->sweep();
    if (tcpEnabled_)
        counters.tcpNotes = tcpNotes();
    counters.tlsNotes = tlsNotes();
    emit secondElapsed(counters);
    if (ruleMatching_) {
        notificationsThisSecond_ = 0;
        RulesState rules = rulesState();
        if (rules != sentRulesState_) {
            sentRulesState_ = std::move(rules);
            emit rulesChanged(sentRulesState_);
        }
    }
    if (intake_->filtered().changed)
        emit filteredUpdated(takeFilteredUpdate(intake_->filtered(), sentGeneration_, sentCount_));
    reportProblems();
}

void ReceiverCore::handOverDatabase()
{
    closePort();
    queue_->flush();
    writeTimer_->stop();
    writer_->close();
    if (indexBuilder_)
        indexBuilder_->pause();
}

void ReceiverCore::takeBackDatabase()
{
    writeTimer_->start();
    if (indexBuilder_)
        indexBuilder_->resume();
}

void ReceiverCore::shutdown()
{
    if (shutDown_)
        return;
    // Everything read off the network before this point is handled and
    // queued by the close, then written; only then is intake shut.
    closePort();
    shutDown_ = true;
    if (ruleMatching_)
        ruleMatching_->finish();
    queue_->close();
    writer_->close();
    indexBuilder_.reset();
    writeTimer_->stop();
    secondTimer_->stop();
    if (forwarder_)
        forwarder_->stop(kForwardGraceMs);
    reportProblems();
    reportForwarding(services_.clock.currentMSecsSinceEpoch(), true);
}

const StoreCounters& ReceiverCore::storeCounters() const { return queue_->counters(); }

LossCounts ReceiverCore::losses() const
{
    const UdpSocket::Losses socketLosses = socket_->losses();
    return {socketLosses.kernelDropped, socketLosses.queueDropped, queue_->counters().lost, intake_->lengthDropped()};
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
                          "%7 datagrams dropped (%8 by the kernel, %9 waiting); "
                          "%10 messages not kept for their length (shorter than %11 or longer than %12 characters "
                          "after the first blank)")
        .arg(datagramsRead())
        .arg(store.received)
        .arg(store.stored)
        .arg(store.recovered)
        .arg(QDir::toNativeSeparators(recoveryLogPath()))
        .arg(store.lost)
        .arg(lost.kernelDropped + lost.queueDropped)
        .arg(lost.kernelDropped)
        .arg(lost.queueDropped)
        .arg(lost.outsideLengthWindow)
        .arg(kShortestMessage)
        .arg(kLongestMessage)
        + heldSummary() + failureSummary() + tcpSummary() + tlsSummary() + forwardingSummary() + rulesSummary();
}

QString ReceiverCore::heldSummary() const
{
    const qint64 held = storeCounters().held;
    if (held == 0)
        return {};
    return QStringLiteral("; %1 records held in memory (neither the database nor the recovery file takes them)")
        .arg(held);
}

QString ReceiverCore::failureSummary() const
{
    const DatagramIntake::Failures& failures = intake_->failures();
    if (failures.count == 0)
        return {};
    return QStringLiteral("; %1 messages cut short by a failure (the last: %2)").arg(failures.count).arg(failures.last);
}

QString ReceiverCore::tcpSummary() const
{
    if (!tcpEnabled_)
        return {};
    const TcpCounts& tcp = tcp_->counts();
    return QStringLiteral("; TCP: %1 messages over %2 connections, ").arg(tcp.messages).arg(tcp.accepted)
         + tcpTroubleText() + QStringLiteral(", %1 closed when idle").arg(tcp.idle);
}

// The TCP connections refused or closed, and the messages dropped, for the senders' faults.
QString ReceiverCore::tcpTroubleText() const
{
    const TcpCounts& tcp = tcp_->counts();
    const TcpIntakeOptions& options = tcp_->options();
    return QStringLiteral("%1 connections refused (more than %2 at once), %3 refused (more than %4 from one "
                          "address), %5 closed for a bad message, %6 closed for a message taking longer than %7 s, "
                          "%8 messages cut short by the end of their connection")
        .arg(tcp.refused)
        .arg(options.maxConnections)
        .arg(tcp.refusedPerAddress)
        .arg(options.maxConnectionsPerAddress)
        .arg(tcp.faulty)
        .arg(tcp.slow)
        .arg(options.messageDeadlineMs / 1000)
        .arg(tcp.incomplete);
}

QString ReceiverCore::tlsSummary() const
{
    if (!tlsSettings_.hasIdentity())
        return {};
    if (!tlsUnavailable_.isEmpty())
        return QStringLiteral("; TLS not received: ") + tlsUnavailable_;
    const TcpCounts& tls = tls_->counts();
    return QStringLiteral("; TLS: %1 messages over %2 connections, %3 refused at the handshake, %4 closed for a bad "
                          "message, %5 closed when idle")
        .arg(tls.messages)
        .arg(tls.accepted)
        .arg(tls.handshakeFailed)
        .arg(tls.faulty)
        .arg(tls.idle);
}

// Why TLS is not received, or its refused and closed connections.
QStringList ReceiverCore::tlsNotes() const
{
    if (!tlsSettings_.hasIdentity())
        return {};
    if (!tlsUnavailable_.isEmpty())
        return {QStringLiteral("not received: ") + tlsUnavailable_};
    const TcpCounts& tls = tls_->counts();
    if (tls.trouble() == 0)
        return {};
    return {QStringLiteral("%1 connections refused at the TLS handshake, %2 refused (more than %3 at once or from "
                           "one address), %4 closed for a bad message or one taking too long, %5 messages cut short "
                           "by the end of their connection")
                .arg(tls.handshakeFailed)
                .arg(tls.refused + tls.refusedPerAddress)
                .arg(tls_->options().maxConnections)
                .arg(tls.faulty + tls.slow)
                .arg(tls.incomplete)};
}

QStringList ReceiverCore::tcpNotes() const
{
    QStringList notes;
    if (tcp_->isPaused())
        notes << QStringLiteral("reading is paused: neither the database nor the recovery file takes records (%1 "
                                "held in memory)")
                     .arg(storeCounters().held);
    if (tcp_->counts().trouble() > 0)
        notes << tcpTroubleText();
    return notes;
}

// Once when records start to be held, once when they are written again.
void ReceiverCore::reportHolding(bool holding)
{
    if (!holding) {
        emit problemReported(QStringLiteral("records are written again; reading TCP goes on: %1").arg(summaryLine()));
        return;
    }
    emit problemReported(QStringLiteral("neither the database nor the recovery file takes records (%1; %2): they "
                                        "are held in memory, TCP is not read until a write succeeds (tried once a "
                                        "second)")
                             .arg(queue_->lastFailure(), queue_->lastRecoveryFailure()));
}

QString ReceiverCore::forwardingSummary() const
{
    QStringList lines;
    for (const ForwardStatus& status : forwardStatus())
        lines << describeForwardStatus(status);
    return lines.isEmpty() ? QString() : QStringLiteral("; forwarding: ") + lines.join(QStringLiteral(" | "));
}

// A storage failure, and messages cut short by a failure, are told once a
// second while they last; drops at most once a minute while they grow. Each
// line carries the exact totals.
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
    if (intake_->failures().count != reportedFailures_) {
        reportedFailures_ = intake_->failures().count;
        emit problemReported(QStringLiteral("messages are cut short by a failure: %1").arg(summaryLine()));
    }
    const LossCounts lost = losses();
    const qint64 drops = lost.kernelDropped + lost.queueDropped;
    const qint64 nowMs = services_.clock.currentMSecsSinceEpoch();
    if (drops != reportedDrops_ && (lastDropReportMs_ == 0 || nowMs - lastDropReportMs_ >= kDropReportIntervalMs)) {
        emit problemReported(QStringLiteral("datagrams are being dropped: %1").arg(summaryLine()));
        reportedDrops_ = drops;
        lastDropReportMs_ = nowMs;
    }
    reportTcp(nowMs);
    reportTls(nowMs);
    reportForwarding(nowMs, false);
}

// The same for TLS, with the reason of the last refusal.
void ReceiverCore::reportTls(qint64 nowMs)
{
    const qint64 trouble = tls_->counts().trouble();
    if (trouble == reportedTlsTrouble_ || (lastTlsReportMs_ != 0 && nowMs - lastTlsReportMs_ < kDropReportIntervalMs))
        return;
    QString line = QStringLiteral("TLS connections were refused or closed: ") + tlsNotes().join(QStringLiteral("; "));
    if (!tls_->lastTrouble().isEmpty())
        line += QStringLiteral("; the last from ") + tls_->lastTrouble();
    if (tls_->counts().faulty > 0)
        line += QStringLiteral("; the last bad message from ") + tls_->lastFault();
    emit problemReported(line);
    reportedTlsTrouble_ = trouble;
    lastTlsReportMs_ = nowMs;
}

// Refused and closed connections and dropped messages: at most once a minute while they grow.
void ReceiverCore::reportTcp(qint64 nowMs)
{
    const TcpCounts& tcp = tcp_->counts();
    const qint64 trouble = tcp.trouble();
    if (trouble == reportedTcpTrouble_ || (lastTcpReportMs_ != 0 && nowMs - lastTcpReportMs_ < kDropReportIntervalMs))
        return;
    QString line = QStringLiteral("TCP connections were refused or closed: ") + tcpTroubleText();
    if (tcp.faulty > 0)
        line += QStringLiteral("; the last bad message from ") + tcp_->lastFault();
    if (!tcp_->lastTrouble().isEmpty())
        line += QStringLiteral("; the last other trouble from ") + tcp_->lastTrouble();
    emit problemReported(line);
    reportedTcpTrouble_ = trouble;
    lastTcpReportMs_ = nowMs;
}

// Missed forwarding: one line a minute while misses grow (at once when now is set).
void ReceiverCore::reportForwarding(qint64 nowMs, bool now)
{
    if (!forwarder_ || (!now && lastForwardReportMs_ != 0 && nowMs - lastForwardReportMs_ < kDropReportIntervalMs))
        return;
    const QList<ForwardStatus> status = forwarder_->status();
    const QString line = forwardMissesLine(status, reportedForwarding_);
    if (line.isEmpty())
        return;
    emit problemReported(line);
    reportedForwarding_ = status;
    lastForwardReportMs_ = nowMs;
}

QDataStream& operator<<(QDataStream& out, const LogRecord& record)
{
    const LogFields& f = record.fields;
    return out << record.time << record.ip << record.message << record.id << qint32(f.facility) << qint32(f.severity)
               << f.host << f.app << f.procid << f.msgid << f.timestamp << f.sd << f.head << qint32(f.msgPos);
}

QDataStream& operator>>(QDataStream& in, LogRecord& record)
{
    LogFields& f = record.fields;
    qint32 facility = -1;
    qint32 severity = -1;
    qint32 msgPos = -1;
    in >> record.time >> record.ip >> record.message >> record.id >> facility >> severity >> f.host >> f.app
        >> f.procid >> f.msgid >> f.timestamp >> f.sd >> f.head >> msgPos;
    f.facility = facility;
    f.severity = severity;
    f.msgPos = msgPos;
    return in;
}

QDataStream& operator<<(QDataStream& out, const IntakeSecond& counters)
{
    return out << counters.filteredCount << counters.receivedThisSecond << counters.filterEnabled
               << counters.minSeverity << counters.losses.kernelDropped << counters.losses.queueDropped << counters.losses.recordsLost
               << counters.losses.outsideLengthWindow << counters.tcpUnavailable << counters.forwardMisses << counters.tcpNotes
               << counters.tlsNotes;
}

QDataStream& operator>>(QDataStream& in, IntakeSecond& counters)
{
    return in >> counters.filteredCount >> counters.receivedThisSecond >> counters.filterEnabled
              >> counters.minSeverity >> counters.losses.kernelDropped >> counters.losses.queueDropped >> counters.losses.recordsLost
              >> counters.losses.outsideLengthWindow >> counters.tcpUnavailable >> counters.forwardMisses >> counters.tcpNotes
              >> counters.tlsNotes;
}

QDataStream& operator<<(QDataStream& out, const RuleFiring& firing)
{
    return out << firing.rule << firing.record << firing.held << firing.since;
}

QDataStream& operator>>(QDataStream& in, RuleFiring& firing)
{
    return in >> firing.rule >> firing.record >> firing.held >> firing.since;
}

QDataStream& operator<<(QDataStream& out, const RulesState& state)
{
    out << state.file << qint32(state.counters.size());
    for (const RuleCounter& counter : state.counters)
        out << counter.name << counter.matched << counter.fired << counter.held;
    return out << state.faults << state.actionsDropped << state.actionsFailed << state.notificationsDropped
               << state.recordsUntested;
}

QDataStream& operator>>(QDataStream& in, RulesState& state)
{
    qint32 count = 0;
    in >> state.file >> count;
    state.counters.clear();
    for (qint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        RuleCounter counter;
        in >> counter.name >> counter.matched >> counter.fired >> counter.held;
        state.counters << counter;
    }
    return in >> state.faults >> state.actionsDropped >> state.actionsFailed >> state.notificationsDropped
              >> state.recordsUntested;
}
