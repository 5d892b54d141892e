#pragma once

#include "rules/Rule.h"
#include "store/LogRecord.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QStringMatcher>
#include <optional>
#include <vector>

// A record as the conditions read it. What is costly to work out (the
// sender's address as an address, the text after the priority and its folded
// case) is worked out once, for the first rule that asks, and shared by the
// others; given buffers, the texts are made in them, which a caller testing
// record after record keeps, so that no text is allocated per record.
class MatchedRecord {
public:
    struct Buffers {
        QString text;
        QString folded;
    };

    explicit MatchedRecord(const LogRecord& record, Buffers* buffers = nullptr)
        : record_(record), buffers_(buffers ? buffers : &own_)
    {
    }

    const LogRecord& record() const { return record_; }
    // The sender's address; an IPv4 address sent as IPv6 (::ffff:10.0.0.1) as IPv4.
    const QHostAddress& address();
    // The sender's IPv4 address as a number (read without QHostAddress for
    // the dotted form records carry); nullopt for an IPv6 sender.
    std::optional<quint32> ipv4();
    // The whole text after the priority: header and message.
    const QString& text();
    // The same text case-folded, for the conditions that ignore case
    // (characters outside the Basic Multilingual Plane are left as they are).
    const QString& foldedText();
    // Whether text() is well-formed UTF-16 (no lone surrogate), so that the
    // regular expressions need not check it again each.
    bool textIsWellFormed();

private:
    const LogRecord& record_;
    Buffers own_;
    Buffers* buffers_;
    const QString* text_ = nullptr;
    bool folded_ = false;
    std::optional<bool> wellFormed_;
    std::optional<QHostAddress> address_;
    std::optional<std::optional<quint32>> ipv4_;
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
    // An IPv4 address or network, compared as numbers.
    bool ipv4Condition_ = false;
    quint32 ipv4Network_ = 0;
    quint32 ipv4Mask_ = 0;
    // An IPv6 one, compared by QHostAddress.
    QHostAddress address_;
    // The prefix length of a network; -1 for a single address.
    int prefixLength_ = -1;
    // Boyer-Moore, its table made once: cheaper per record than
    // QString::contains. Ignoring case, the folded text is searched for the
    // folded needle: folding the text once for all rules costs far less than
    // folding every character compared.
    std::optional<QStringMatcher> contains_;
    bool ignoreCase_ = false;
    std::optional<QRegularExpression> regex_;
    // Text every match of the expression holds (see requiredLiteral()),
    // looked for first: most records lack it, and the expression is not run.
    std::optional<QStringMatcher> regexLiteral_;
    bool regexLiteralIgnoresCase_ = false;
};

// Text that every match of a regular expression holds, as far as the pattern
// shows it plainly: the longest run of at least three ordinary characters
// outside any group, none of them optional. Patterns with alternatives,
// quoting, options other than a leading (?i) or verbs give none (empty).
// ignoresCase is set for a leading (?i) (the text is then ASCII and folded).
QString requiredLiteral(const QString& pattern, bool* ignoresCase);

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
