#pragma once

#include "intake/FilteredMessages.h"
#include "intake/TcpIntake.h"
#include "intake/WriteQueue.h"
#include "net/Forwarder.h"
#include "rules/RuleEngine.h"
#include "settings/Settings.h"
#include "store/IntegrityCheck.h"

#include <QDataStream>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class Clock;
class DatagramIntake;
class RuleActions;
class RuleMatching;
class RulesFile;
struct ParsedRules;
class DbEngine;
class ListeningPort;
class LogDatabase;
class SearchIndexBuilder;
class SettingsStore;
class SharedWriter;
class Timer;
class UdpSocket;

// What never reached the database, counted since the start.
struct LossCounts {
    // Datagrams the kernel dropped because the socket's buffer was full.
    qint64 kernelDropped = 0;
    // Datagrams dropped because too much was waiting to be handled.
    qint64 queueDropped = 0;
    // Records that reached neither the database nor the recovery file.
    qint64 recordsLost = 0;
    // Accepted messages not kept: shorter than 3 or longer than 65534
    // characters once everything up to the first blank was cut.
    qint64 outsideLengthWindow = 0;

    bool any() const { return kernelDropped > 0 || queueDropped > 0 || recordsLost > 0 || outsideLengthWindow > 0; }
    bool operator==(const LossCounts&) const = default;
};

// The counters of one one-second interval, as the status line shows them.
struct IntakeSecond {
    qint32 filteredCount = 0;
    qint32 receivedThisSecond = 0;
    qint16 filterEnabled = 1;
    // The severity filter: the highest severity number kept, -1 for none.
    qint16 minSeverity = -1;
    LossCounts losses;
    // Why syslog over TCP is not received although it is switched on: the
    // port could not be bound for TCP. Empty while TCP listens or is off.
    QString tcpUnavailable;
    // One line per forwarding destination that missed messages
    // (describeForwardStatus); empty while none did.
    QStringList forwardMisses;
    // Lines about syslog over TCP while TCP is on: that reading is paused
    // because nothing can be stored, and the connections refused or closed
    // and the messages dropped for the senders' faults. Empty while none apply.
    QStringList tcpNotes;
    // Lines about syslog over TLS while it is configured: why it is not
    // received, or the connections refused or closed.
    QStringList tlsNotes;
};
// For the link to the windows.
QDataStream& operator<<(QDataStream& out, const IntakeSecond& counters);
QDataStream& operator>>(QDataStream& in, IntakeSecond& counters);
Q_DECLARE_METATYPE(IntakeSecond)
QDataStream& operator<<(QDataStream& out, const LogRecord& record);
QDataStream& operator>>(QDataStream& in, LogRecord& record);
Q_DECLARE_METATYPE(LogRecord)
QDataStream& operator<<(QDataStream& out, const RuleFiring& firing);
QDataStream& operator>>(QDataStream& in, RuleFiring& firing);
Q_DECLARE_METATYPE(RuleFiring)
QDataStream& operator<<(QDataStream& out, const RulesState& state);
QDataStream& operator>>(QDataStream& in, RulesState& state);
Q_DECLARE_METATYPE(RulesState)

// What the receiver needs from outside. The factories are called on the
// receiver's own thread, so what they make belongs to it.
struct CoreServices {
    const Clock& clock;
    // Short-lived connections: day tables.
    DbEngine& readEngine;
    // The long-lived write path: fails fast when the file is locked, so records
    // go to the recovery file instead of holding up intake.
    DbEngine& writeEngine;
    std::function<std::unique_ptr<UdpSocket>()> makeSocket;
    std::function<std::unique_ptr<Timer>(int intervalMs)> makeTimer;
    // Where syslog.mdb and syslog_recovery.log live.
    QString dataDir;
    // Where openDatabase() reads "tcp", "forward" and the TLS values; null: as
    // if none were stored (TCP on, no TLS, nothing forwarded).
    const SettingsStore* settings = nullptr;
    // Whether to keep the search index of the closed days up to date, in the
    // background, from openDatabase() on (store/SearchIndexBuilder.h).
    bool indexClosedDays = false;
    // Whether the rules test each record on a thread of their own (the
    // programs) or as it is kept (tests that step everything by hand).
    bool matchRulesOnOwnThread = false;
};

// The receiver: the UDP socket and the TCP intake on the same port, the TLS
// intake on its own, datagram intake, the write queue and its write path, forwarding, the midnight
// rollover and the one-second counters. One thread owns all of it; nothing
// here touches a window. It reports by signals, and the windows (or the
// headless service) decide what to show.
//
// A TCP or TLS message takes exactly the path of a datagram. TCP is read only as
// fast as its messages are handled, so a fast sender is slowed down by TCP's
// flow control instead of losing messages. Forwarding only queues: it never
// holds up intake or storing.
class ReceiverCore : public QObject {
    Q_OBJECT
public:
    explicit ReceiverCore(CoreServices services, QObject* parent = nullptr);
    ~ReceiverCore() override;

    // Makes sure the database file and today's table exist and can be
    // written, then opens the write path (telling errorRaised when that fails).
    // Throws DbError, with the store's text, when the file cannot be opened,
    // created or written. Reads whether TCP is received ("tcp") and how many
    // connections one address may hold ("tcpperaddress"). The first time, it
    // reads the TLS files ("tlscert", "tlskey", "tlsca"; what cannot be used
    // is told once by problemReported and TLS is then not received), starts
    // forwarding to the destinations of "forward" (each one that does
    // not parse is told by problemReported and left out), the rules of
    // dataDir/rules.json (read again whenever the file changes) and a check of
    // the file for damage in the background, whose finding is told once
    // (problemReported and errorRaised, naming the file).
    void openDatabase();
    // Starts the one-second interval.
    void startCounting();

    // UDP and, while "tcp" is on, TCP on the same port, and TLS on "tlsport"
    // when configured: bind() binds them (UDP's result is the result; a TCP
    // or TLS port that cannot be bound is told once by problemReported and
    // kept in IntakeSecond::tcpUnavailable or tlsNotes), close() closes them
    // after handling what they had received.
    ListeningPort& port();
    void setFilterEnabled(qint16 enabled);
    // Day tables older than this many days are dropped at openDatabase()
    // and whenever a new day starts; 0 keeps every day.
    void setKeepDays(int days) { keepDays_ = days; }
    qint16 filterEnabled() const;

    // Gives the database file up for cleaning: the socket is closed (what it
    // had read is handled), the queue written, the write timer stopped and
    // the write path closed.
    void handOverDatabase();
    // Takes it back after cleaning (the write path reopens when it next writes).
    void takeBackDatabase();
    // Stops receiving, handles and stores everything read, closes the write
    // path. Later calls do nothing.
    void shutdown();
    bool isShutDown() const { return shutDown_; }

    const StoreCounters& storeCounters() const;
    LossCounts losses() const;
    qint64 datagramsRead() const;
    // The usable receive buffer the socket got at its last bind, in bytes.
    int receiveBufferBytes() const;
    // A line for the log that tells what became of everything received.
    QString summaryLine() const;
    QString dataDir() const { return services_.dataDir; }
    bool tcpEnabled() const { return tcpEnabled_; }
    // The TCP intake, listening whenever TCP is on and the port is bound.
    TcpIntake& tcp() { return *tcp_; }
    // The TLS intake, listening on "tlsport" whenever "tlscert" and "tlskey"
    // could be read and the port is bound.
    TcpIntake& tls() { return *tls_; }
    // Where each forwarding destination stands; empty without forwarding.
    QList<ForwardStatus> forwardStatus() const;
    QString databasePath() const;
    QString recoveryLogPath() const;

    // The rules: each stored record is tested against them on this thread;
    // a rule that fires has its notify action told by ruleFired (at most ten
    // a second; the others are dropped and counted) and its other actions
    // queued to RuleActions (never waited for). Every reading
    // of the file is told by rulesChanged; its faults once each, by
    // problemReported (one line each) and errorRaised (one message).
    RulesState rulesState() const;
    // Reads the rules file now (if the rules were started by openDatabase()).
    void reloadRules();
    // The intake itself, for callers on the receiver's thread that hand in
    // messages of their own.
    DatagramIntake& intake() { return *intake_; }
    // One tick of the one-second interval, as the timer gives it: the
    // second's counters, reports, and the sweep of the TCP connections.
    void tick();

signals:
    // A record for the main list (at most ten a second), with its ID once
    // it is written, without one (0) when it went to the recovery file.
    void recordToShow(const LogRecord& record);
    // Every second: the interval's counters.
    void secondElapsed(const IntakeSecond& counters);
    // The filtered-message buffer changed since the last update.
    void filteredUpdated(const FilteredBufferUpdate& update);
    // The rollover created the table of a new day.
    void dayTableCreated(const QString& day);
    // A message for the user.
    void errorRaised(const QString& text);
    // A line for the log (standard error, the system journal): a failure that
    // lasts, told at most once a second with exact counts, or a day dropped
    // because it is older than the days kept.
    void problemReported(const QString& line);
    // Day tables dropped because they were older than the days kept.
    void daysDropped(const QStringList& days);
    // The port was bound or closed, or the filter switched.
    void stateChanged();
    // A rule with a notify action fired.
    void ruleFired(const RuleFiring& firing);
    // The rules file was read, or the rules' counters changed (checked once a second).
    void rulesChanged(const RulesState& state);

private:
    class Port;

    Result<> bindPort();
    void closePort();
    void startForwarding(const QString& settingText);
    void configureTls();
    void listenTls();
    void reportProblems();
    void reportTcp(qint64 nowMs);
    void reportTls(qint64 nowMs);
    QString failureSummary() const;
    QString tcpSummary() const;
    QString tcpTroubleText() const;
    QString tlsSummary() const;
    QStringList tlsNotes() const;
    QString heldSummary() const;
    QString forwardingSummary() const;
    void reportForwarding(qint64 nowMs, bool now);
    void reportHolding(bool holding);
    void reportIntegrity(const IntegrityFindings& findings);
    QStringList tcpNotes() const;
    void dropDaysNotKept();
    void startIndexing();
    void startRules();
    void applyRules(const ParsedRules& parsed);
    QString rulesSummary() const;
    QString forwardedByRules() const;

    CoreServices services_;
    std::unique_ptr<LogDatabase> database_;
    std::unique_ptr<SharedWriter> writer_;
    std::unique_ptr<Timer> writeTimer_;
    std::unique_ptr<Timer> secondTimer_;
    std::unique_ptr<WriteQueue> queue_;
    std::unique_ptr<DatagramIntake> intake_;
    std::unique_ptr<UdpSocket> socket_;
    std::unique_ptr<Forwarder> forwarder_;
    std::unique_ptr<TcpIntake> tcp_;
    std::unique_ptr<TcpIntake> tls_;
    std::unique_ptr<Port> port_;
    std::unique_ptr<SearchIndexBuilder> indexBuilder_;
    std::unique_ptr<IntegrityCheck> integrityCheck_;
    std::unique_ptr<RuleActions> ruleActions_;
    std::unique_ptr<RuleMatching> ruleMatching_;
    std::unique_ptr<RulesFile> rulesFile_;
    // The rule faults told already: each is told once while it lasts.
    QStringList reportedRuleFaults_;
    // Notifications told in the current second, and those beyond the limit.
    static constexpr int kNotificationsPerSecond = 10;
    int notificationsThisSecond_ = 0;
    qint64 notificationsDropped_ = 0;
    RulesState sentRulesState_;
    bool tcpEnabled_ = true;
    bool forwardingRead_ = false;
    // Why the TCP port could not be bound at the last bind; empty if it could.
    QString tcpBindError_;
    TlsSettings tlsSettings_;
    bool tlsRead_ = false;
    // Why syslog over TLS is not received although configured (its files,
    // its port); empty while it listens or is not configured.
    QString tlsUnavailable_;
    qint64 reportedTlsTrouble_ = 0;
    qint64 lastTlsReportMs_ = 0;
    qint32 sentGeneration_ = 0;
    qint32 sentCount_ = 0;
    bool shutDown_ = false;
    int keepDays_ = 0;

    StoreCounters reportedStore_;
    qint64 reportedFailures_ = 0;
    qint64 reportedDrops_ = 0;
    qint64 lastDropReportMs_ = 0;
    qint64 reportedTcpTrouble_ = 0;
    qint64 lastTcpReportMs_ = 0;
    QList<ForwardStatus> reportedForwarding_;
    qint64 lastForwardReportMs_ = 0;
};
