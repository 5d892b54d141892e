#include "rules/RuleEngine.h"

#include "platform/Clock.h"

QString RuleFiring::heldText() const
{
    if (held <= 0)
        return {};
    return QStringLiteral(" and %1 more since %2").arg(held).arg(since.toString(QStringLiteral("HH:mm:ss")));
}

RuleThrottle::Decision RuleThrottle::offer(qint64 nowMs)
{
    if (lastFiredMs_ >= 0 && nowMs >= lastFiredMs_ && nowMs - lastFiredMs_ < cooldownMs_) {
        ++held_;
        return {};
    }
    // A clock set back does not hold the rule back any longer than its cooldown.
    const Decision decision{true, held_, lastFiredMs_};
    lastFiredMs_ = nowMs;
    held_ = 0;
    return decision;
}

RuleEngine::RuleEngine(const Clock& clock, OnFired onFired) : clock_(clock), onFired_(std::move(onFired)) {}

void RuleEngine::setRules(const QList<Rule>& rules)
{
    rules_ = rules;
    active_.clear();
    stateOf_.clear();
    QHash<QString, State> kept;
    for (qsizetype i = 0; i < rules_.size(); ++i) {
        const Rule& rule = rules_[i];
        State state = states_.value(rule.name, State{RuleCounter{rule.name}, RuleThrottle{}});
        state.throttle.setCooldown(qint64(rule.cooldownSeconds) * 1000);
        kept.insert(rule.name, state);
        if (rule.enabled)
            active_.push_back(Active{int(i), RuleMatcher(rule.when)});
    }
    states_ = std::move(kept);
    for (const Rule& rule : rules_)
        stateOf_.push_back(&states_[rule.name]);
}

void RuleEngine::offer(const LogRecord& record) { offer(record, clock_.currentMSecsSinceEpoch()); }

void RuleEngine::offer(const LogRecord& record, qint64 nowMs)
{
    if (active_.empty())
        return;
    MatchedRecord matched(record, &buffers_);
    for (const Active& active : active_) {
        if (!active.matcher.matches(matched))
            continue;
        State& state = *stateOf_[std::size_t(active.rule)];
        ++state.counter.matched;
        const RuleThrottle::Decision decision = state.throttle.offer(nowMs);
        state.counter.held = state.throttle.held();
        if (!decision.fire)
            continue;
        ++state.counter.fired;
        if (onFired_) {
            const QDateTime since = decision.held > 0 ? QDateTime::fromMSecsSinceEpoch(decision.sinceMs) : QDateTime();
            onFired_(rules_[active.rule], RuleFiring{rules_[active.rule].name, record, decision.held, since});
        }
    }
}

QList<RuleCounter> RuleEngine::counters() const
{
    QList<RuleCounter> counters;
    for (const State* state : stateOf_)
        counters << state->counter;
    return counters;
}
