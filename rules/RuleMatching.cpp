#include "rules/RuleMatching.h"

#include "platform/Clock.h"

#include <QMutexLocker>
#include <algorithm>

RuleMatching::RuleMatching(const Clock& clock, Threading threading, qsizetype batch, qint64 capacity,
                           QObject* parent)
    : QObject(parent)
    , clock_(clock)
    , batch_(std::max<qsizetype>(batch, 1))
    , capacity_(std::max<qint64>(capacity, 1))
    , engine_(clock, [this](const Rule& rule, const RuleFiring& firing) {
        if (thread_)
            firings_.emplace_back(rule, firing);
        else
            emit fired(rule, firing);
    })
{
    if (threading == Threading::CallerThread)
        return;
    thread_ = std::make_unique<QThread>();
    thread_->setObjectName(QStringLiteral("rules"));
    worker_ = std::make_unique<QObject>();
    worker_->moveToThread(thread_.get());
    // The lowest priority (on Linux SCHED_IDLE): receiving and storing come
    // first; what matching cannot keep up with waits, up to the capacity.
    thread_->start(QThread::IdlePriority);
}

RuleMatching::~RuleMatching()
{
    if (!thread_)
        return;
    finish();
    thread_->quit();
    thread_->wait();
}

void RuleMatching::setRules(const QList<Rule>& rules)
{
    rules_ = rules;
    anyEnabled_ = std::any_of(rules.begin(), rules.end(), [](const Rule& rule) { return rule.enabled; });
    if (!thread_) {
        engine_.setRules(rules);
        return;
    }
    // In line with the records: those gathered so far are tested under the rules they came under.
    handOver();
    push(Batch{{}, 0, rules});
}

void RuleMatching::offer(const LogRecord& record)
{
    if (!thread_) {
        engine_.offer(record);
        return;
    }
    if (!anyEnabled_)
        return;
    if (waiting_.load(std::memory_order_relaxed) >= capacity_) {
        ++untested_;
        return;
    }
    waiting_.fetch_add(1, std::memory_order_relaxed);
    gathering_.records.push_back(record);
    if (qsizetype(gathering_.records.size()) >= batch_) {
        handOver();
    } else if (!handOverPosted_) {
        handOverPosted_ = true;
        QMetaObject::invokeMethod(this, [this] { handOver(); }, Qt::QueuedConnection);
    }
}

void RuleMatching::handOver()
{
    handOverPosted_ = false;
    if (gathering_.records.empty())
        return;
    gathering_.nowMs = clock_.currentMSecsSinceEpoch();
    push(std::exchange(gathering_, Batch{}));
    gathering_.records.reserve(std::size_t(batch_));
}

void RuleMatching::push(Batch batch)
{
    bool wasEmpty = false;
    {
        const QMutexLocker lock(&mutex_);
        wasEmpty = inbox_.empty();
        inbox_.push_back(std::move(batch));
    }
    if (wasEmpty)
        QMetaObject::invokeMethod(worker_.get(), [this] { take(); }, Qt::QueuedConnection);
}

void RuleMatching::finish()
{
    if (!thread_)
        return;
    handOver();
    QMetaObject::invokeMethod(worker_.get(), [this] { take(); }, Qt::BlockingQueuedConnection);
}

void RuleMatching::take()
{
    std::vector<Batch> batches;
    {
        const QMutexLocker lock(&mutex_);
        batches.swap(inbox_);
    }
    if (batches.empty())
        return;
    qint64 tested = 0;
    for (const Batch& batch : batches) {
        if (batch.rules)
            engine_.setRules(*batch.rules);
        for (const LogRecord& record : batch.records)
            engine_.offer(record, batch.nowMs);
        tested += qint64(batch.records.size());
    }
    batches.clear();
    waiting_.fetch_sub(tested, std::memory_order_relaxed);
    publishCounters();
    for (auto& [rule, firing] : std::exchange(firings_, {}))
        QMetaObject::invokeMethod(this, [this, rule, firing] { emit fired(rule, firing); }, Qt::QueuedConnection);
}

void RuleMatching::publishCounters()
{
    QHash<QString, RuleCounter> counters;
    for (const RuleCounter& counter : engine_.counters())
        counters.insert(counter.name, counter);
    const QMutexLocker lock(&mutex_);
    published_.swap(counters);
}

QList<RuleCounter> RuleMatching::counters() const
{
    if (!thread_)
        return engine_.counters();
    QList<RuleCounter> counters;
    const QMutexLocker lock(&mutex_);
    for (const Rule& rule : rules_)
        counters << published_.value(rule.name, RuleCounter{rule.name});
    return counters;
}
