#pragma once

#include "net/SmtpClient.h"
#include "platform/Result.h"
#include "rules/RuleEngine.h"

#include "net/Forwarder.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>
#include <atomic>

class SettingsStore;

// The mail settings in varare.conf: smtphost, smtpport (default by
// security), smtpsecurity (starttls, the default; tls; none), smtpuser,
// smtppassword and smtpfrom (default kiv-syslog@ and this machine's name).
// A failure names the value that is wrong.
Result<SmtpSettings> loadSmtpSettings(const SettingsStore& store);

// The environment a rule's program gets: KIV_RULE, KIV_TIME, KIV_IP,
// KIV_SEVERITY, KIV_FACILITY (empty when the record has no priority),
// KIV_HOST, KIV_APP, KIV_MESSAGE (the message after its header) and
// KIV_SUPPRESSED (matches the cooldown held back since the rule last fired).
QList<QPair<QString, QString>> ruleEnvironment(const RuleFiring& firing);

// The mail of a firing: subject and body name the rule and the record, and
// what the cooldown held back ("and 37 more since 12:00:05").
MailMessage ruleMail(const RuleFiring& firing, const QString& to);

// The run, mail and forward actions of firing rules, carried out on a thread
// of their own so that nothing they do holds up intake. At most `capacity`
// actions wait or run at once; an action beyond that is dropped and counted.
// A program runs without a shell, with the record in its environment, and is
// killed after its time-out; mail goes through SMTP with the settings read at
// each mail; a forward goes to the destination's own forwarder (made at its
// first use, kept while this object lives).
class RuleActions final : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultCapacity = 64;

    explicit RuleActions(const SettingsStore* settings, int capacity = kDefaultCapacity, QObject* parent = nullptr);
    // Kills the programs still running; mail not yet sent is given up.
    ~RuleActions() override;

    // Queues the rule's run, mail and forward actions; never waits.
    void submit(const Rule& rule, const RuleFiring& firing);
    // Actions dropped because `capacity` were waiting or running.
    qint64 dropped() const { return dropped_; }
    // Actions that failed (program failed or killed, mail not sent).
    qint64 failed() const { return failed_; }
    // Actions waiting or running.
    int pending() const { return pending_; }
    // Where each destination of a forward action stands (ForwardStatus, see
    // net/Forwarder.h), in the order of their first use; any thread.
    QList<ForwardStatus> forwardStatus() const;

signals:
    // An action ended (emitted on the actions' thread): ok, or why not, in one
    // line naming the rule and the action.
    void finished(bool ok, const QString& line);

private:
    class Worker;

    void done(bool ok, const QString& line);

    const int capacity_;
    QThread thread_;
    Worker* worker_;
    // The forwarders the worker made; read by forwardStatus().
    mutable QMutex forwardersMutex_;
    QList<const Forwarder*> forwarders_;
    std::atomic<int> pending_{0};
    std::atomic<qint64> dropped_{0};
    std::atomic<qint64> failed_{0};
};
