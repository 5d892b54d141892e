#pragma once

#include "rules/Rule.h"
#include "rules/RuleMatcher.h"
#include "store/LogRecord.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

class Clock;

// How often a rule matched and fired, for the windows.
struct RuleCounter {
    QString name;
    // Records the rule matched (enabled rules only).
    qint64 matched = 0;
    // Times it fired: matches outside its cooldown.
    qint64 fired = 0;
    // Matches held back by the cooldown since it last fired.
    qint64 held = 0;
    bool operator==(const RuleCounter&) const = default;
};

// A rule firing: the rule, the record that made it fire, and what its
// cooldown held back since it fired before (held matches since `since`;
// since is invalid when nothing was held).
struct RuleFiring {
    QString rule;
    LogRecord record;
    qint64 held = 0;
    QDateTime since;

    // " and 37 more since 12:00:05", or empty when nothing was held.
    QString heldText() const;
};

// Where the rules stand, for the windows: the file, each rule's counters,
// the faults of the file's last reading (the file's own fault first), the
// actions dropped (too many waiting) or failed and the notifications dropped
// (too many in a second) since the start.
struct RulesState {
    QString file;
    QList<RuleCounter> counters;
    QStringList faults;
    qint64 actionsDropped = 0;
    qint64 actionsFailed = 0;
    qint64 notificationsDropped = 0;
    // Records the rules did not test because too many were waiting.
    qint64 recordsUntested = 0;
    bool operator==(const RulesState&) const = default;
};

// The cooldown of one rule: it fires at most once in cooldownMs; matches in
// between are held back, counted, and handed to the next firing. Keeps two
// numbers and a time whatever arrives.
class RuleThrottle {
public:
    explicit RuleThrottle(qint64 cooldownMs = 0) : cooldownMs_(cooldownMs) {}
    void setCooldown(qint64 cooldownMs) { cooldownMs_ = cooldownMs; }

    struct Decision {
        bool fire = false;
        // When firing: the matches held back since the last firing, and its time.
        qint64 held = 0;
        qint64 sinceMs = 0;
    };
    Decision offer(qint64 nowMs);
    qint64 held() const { return held_; }

private:
    qint64 cooldownMs_ = 0;
    qint64 lastFiredMs_ = -1;
    qint64 held_ = 0;
};

// The rules at work on every stored record, on the receiver's thread: each
// enabled rule that matches is counted, and fires unless its cooldown holds
// it back. Counters and cooldowns stay with a rule's name when the rules are
// replaced. Nothing here waits or grows with the records: a firing is handed
// on at once (the caller queues the actions, see RuleActions).
class RuleEngine {
public:
    using OnFired = std::function<void(const Rule& rule, const RuleFiring& firing)>;

    RuleEngine(const Clock& clock, OnFired onFired);

    void setRules(const QList<Rule>& rules);
    const QList<Rule>& rules() const { return rules_; }
    // Tests one record against every enabled rule; the cooldowns go by nowMs
    // (by default the clock's time).
    void offer(const LogRecord& record, qint64 nowMs);
    void offer(const LogRecord& record);
    // One per rule, in the rules' order.
    QList<RuleCounter> counters() const;

private:
    struct Active {
        int rule; // index into rules_
        RuleMatcher matcher;
    };
    struct State {
        RuleCounter counter;
        RuleThrottle throttle;
    };

    const Clock& clock_;
    OnFired onFired_;
    QList<Rule> rules_;
    std::vector<Active> active_;
    // By rule name, so a rule keeps them when the file is read again.
    QHash<QString, State> states_;
    std::vector<State*> stateOf_; // per rule index
    MatchedRecord::Buffers buffers_;
};
