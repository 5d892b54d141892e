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
    Batch change;
    change.rules = rules;
    push(std::move(change));
}

void RuleMatching::offer(const LogRecord& record)
{
    if (!thread_) {
        engine_.offer(record);
        return;
    }
    if (!anyEnabled_)
        return;
    if (waiting_.load(std::memory_order_relaxed) >= capacity_
        || waitingChars_.load(std::memory_order_relaxed) >= kCapacityChars) {
        ++untested_;
        return;
    }
    waiting_.fetch_add(1, std::memory_order_relaxed);
    waitingChars_.fetch_add(gathering_.add(record), std::memory_order_relaxed);
    if (qsizetype(gathering_.entries.size()) >= batch_) {
        handOver();
    } else if (!handOverPosted_) {
        handOverPosted_ = true;
        QMetaObject::invokeMethod(this, [this] { handOver(); }, Qt::QueuedConnection);
    }
}

void RuleMatching::handOver()
{
    handOverPosted_ = false;
    if (gathering_.entries.empty())
        return;
    gathering_.nowMs = clock_.currentMSecsSinceEpoch();
    push(std::exchange(gathering_, Batch{}));
    const QMutexLocker lock(&mutex_);
    if (!spare_.empty()) {
        gathering_ = std::move(spare_.back());
        spare_.pop_back();
    }
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
    for (Batch& batch : batches) {
        if (batch.rules)
            engine_.setRules(*batch.rules);
        for (std::size_t i = 0; i < batch.entries.size(); ++i) {
            batch.read(i, unpacked_);
            engine_.offer(unpacked_, batch.nowMs);
        }
        tested += qint64(batch.entries.size());
        waitingChars_.fetch_sub(qint64(batch.texts.size()), std::memory_order_relaxed);
        batch.clear();
    }
    waiting_.fetch_sub(tested, std::memory_order_relaxed);
    {
        const QMutexLocker lock(&mutex_);
        for (Batch& batch : batches)
            if (spare_.size() < 4)
                spare_.push_back(std::move(batch));
    }
    batches.clear();
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

qint64 RuleMatching::Batch::add(const LogRecord& record)
{
    const std::size_t before = texts.size();
    const LogFields& f = record.fields;
    Entry entry{{}, 0, f.facility, f.severity, f.msgPos, record.id};
    const QString* const parts[kTexts] = {&record.time, &record.ip, &record.message, &f.host,      &f.app,
                                          &f.procid,    &f.msgid,  &f.timestamp,     &f.sd,        &f.head};
    for (std::size_t i = 0; i < kTexts; ++i) {
        const QString& part = *parts[i];
        if (part.isNull())
            entry.nulls |= 1u << i;
        const char16_t* from = reinterpret_cast<const char16_t*>(part.constData());
        texts.insert(texts.end(), from, from + part.size());
        entry.ends[i] = quint32(texts.size());
    }
    entries.push_back(entry);
    return qint64(texts.size() - before);
}

void RuleMatching::Batch::read(std::size_t i, LogRecord& into) const
{
    const Entry& entry = entries[i];
    LogFields& f = into.fields;
    QString* const parts[kTexts] = {&into.time, &into.ip, &into.message, &f.host, &f.app,
                                    &f.procid,  &f.msgid, &f.timestamp,  &f.sd,   &f.head};
    quint32 begin = i > 0 ? entries[i - 1].ends[kTexts - 1] : 0;
    for (std::size_t p = 0; p < kTexts; ++p) {
        const quint32 end = entry.ends[p];
        QString& part = *parts[p];
        if (entry.nulls & (1u << p)) {
            part = QString();
        } else {
            part.resize(qsizetype(end - begin));
            std::copy(texts.begin() + begin, texts.begin() + end, reinterpret_cast<char16_t*>(part.data()));
        }
        begin = end;
    }
    f.facility = entry.facility;
    f.severity = entry.severity;
    f.msgPos = entry.msgPos;
    into.id = entry.id;
}

void RuleMatching::Batch::clear()
{
    texts.clear();
    entries.clear();
    rules.reset();
}
