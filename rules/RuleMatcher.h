#pragma once

#include "rules/Rule.h"
#include "store/LogRecord.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <optional>
#include <vector>

// A record as the conditions read it. What is costly to work out (the
// sender's address as an address, the text after the priority) is worked out
// once, for the first rule that asks, and shared by the others.
class MatchedRecord {
public:
    explicit MatchedRecord(const LogRecord& record) : record_(record) {}

    const LogRecord& record() const { return record_; }
    // The sender's address; an IPv4 address sent as IPv6 (::ffff:10.0.0.1) as IPv4.
    const QHostAddress& address();
    // The whole text after the priority: header and message.
    const QString& text();

private:
    const LogRecord& record_;
    std::optional<QHostAddress> address_;
    std::optional<QString> text_;
};

// One rule's conditions, made ready to be tested against many records: the
// address parsed and the expression compiled once. The cheap conditions are
// tested first (numbers, then whole-field comparisons, then the address),
// the text last, the regular expression after everything else.
class RuleMatcher {
public:
    explicit RuleMatcher(const RuleConditions& conditions);

    bool matches(MatchedRecord& record) const;
    bool matches(const LogRecord& record) const;

private:
    int severityMax_ = -1;
    int facility_ = -1;
    QString host_;
    QString app_;
    bool hasAddress_ = false;
    QHostAddress address_;
    // The prefix length of a network; -1 for a single address.
    int prefixLength_ = -1;
    QString contains_;
    Qt::CaseSensitivity case_ = Qt::CaseSensitive;
    std::optional<QRegularExpression> regex_;
};

// The colour a line is shown in: that of the first enabled rule with a colour
// action that matches the record. Matching here counts nothing and fires
// nothing; the lists use it for live, loaded and found lines alike.
class RuleColours {
public:
    RuleColours() = default;
    explicit RuleColours(const QList<Rule>& rules);

    // 0xRRGGBB, or nullopt when no such rule matches.
    std::optional<quint32> colourFor(const LogRecord& record) const;
    bool isEmpty() const { return coloured_.empty(); }

private:
    std::vector<std::pair<RuleMatcher, quint32>> coloured_;
};
