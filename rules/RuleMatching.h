#pragma once

#include "rules/RuleEngine.h"

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QThread>
#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

// The rules at work on every kept record without holding up the thread that
// keeps them. On a thread of its own, the records are gathered into batches
// (one goes when it is full, or once the caller's event loop turns) that the
// matching thread takes; each batch carries the time it was handed over, which
// the cooldowns go by. What fired comes back as fired() on the caller's thread,
// after the counters that include it. At most `capacity` records, and
// kCapacityChars characters of their texts, wait: a record beyond that is
// not tested, and is counted.
//
// With Threading::CallerThread each record is tested as it is offered (tests
// that step everything by hand).
class RuleMatching final : public QObject {
    Q_OBJECT
public:
    enum class Threading { OwnThread, CallerThread };
    static constexpr qsizetype kDefaultBatch = 512;
    static constexpr qint64 kDefaultCapacity = 50000;
    // Whatever the records' sizes, their texts waiting take at most this many characters (32 MB).
    static constexpr qint64 kCapacityChars = 16 * 1024 * 1024;

    RuleMatching(const Clock& clock, Threading threading, qsizetype batch = kDefaultBatch,
                 qint64 capacity = kDefaultCapacity, QObject* parent = nullptr);
    // Tests what still waits, then ends the thread; what fires then is not told.
    ~RuleMatching() override;
    Q_DISABLE_COPY(RuleMatching)

    // Records offered before are tested against the rules they were offered under.
    void setRules(const QList<Rule>& rules);
    const QList<Rule>& rules() const { return rules_; }
    // Nothing is gathered while no rule is enabled.
    void offer(const LogRecord& record);
    // Tests everything offered so far before it returns.
    void finish();
    // One per rule, in the rules' order; a rule the matching thread has not
    // seen yet keeps the counts it had under its name.
    QList<RuleCounter> counters() const;
    // Records not tested because `capacity` records, or kCapacityChars
    // characters of their texts, were waiting.
    qint64 untested() const { return untested_; }

signals:
    void fired(const Rule& rule, const RuleFiring& firing);

private:
    // Records copied into one buffer, their texts one after the other and
    // shared with nothing: the receiver's thread and the matching thread never
    // touch the same string, whose reference count would otherwise move
    // between the processors with every record.
    struct Batch {
        static constexpr std::size_t kTexts = 10;
        struct Entry {
            // Where each text ends in `texts`; bit i of nulls: text i is null.
            std::array<quint32, kTexts> ends{};
            quint32 nulls = 0;
            qint32 facility = -1;
            qint32 severity = -1;
            qint32 msgPos = -1;
            qint64 id = 0;
        };
        std::vector<char16_t> texts;
        std::vector<Entry> entries;
        qint64 nowMs = 0;
        // Rules that replace the others from here on.
        std::optional<QList<Rule>> rules;

        // Returns how many characters the record's texts took.
        qint64 add(const LogRecord& record);
        // Record i, its texts written over those of `into` (whose room is kept).
        void read(std::size_t i, LogRecord& into) const;
        void clear();
    };

    void handOver();
    void push(Batch batch);
    // On the matching thread.
    void take();
    void publishCounters();

    const Clock& clock_;
    const qsizetype batch_;
    const qint64 capacity_;
    QList<Rule> rules_;
    bool anyEnabled_ = false;
    // Used on the matching thread only (or the caller's, without one).
    RuleEngine engine_;
    std::vector<std::pair<Rule, RuleFiring>> firings_;

    std::unique_ptr<QThread> thread_;
    std::unique_ptr<QObject> worker_;
    Batch gathering_;
    bool handOverPosted_ = false;
    // Handed over and not yet tested, and those being gathered.
    std::atomic<qint64> waiting_{0};
    std::atomic<qint64> waitingChars_{0};
    qint64 untested_ = 0;

    // The matching thread's record, its texts' room kept from one to the next.
    LogRecord unpacked_;

    mutable QMutex mutex_;
    std::vector<Batch> inbox_;
    // Tested batches, emptied, whose room the next ones take.
    std::vector<Batch> spare_;
    QHash<QString, RuleCounter> published_;
};
