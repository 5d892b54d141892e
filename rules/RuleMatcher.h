#pragma once

#include "rules/Rule.h"
#include "store/LogRecord.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QStringMatcher>
#include <array>
#include <optional>
#include <vector>

// Which pairs of neighbouring characters a text holds, case-folded and hashed
// into 4,096 bits: a text that lacks one pair of a needle cannot hold the
// needle, which one pass over the text tells every rule at once, far cheaper
// than a search for each needle (most records hold none of them).
class CharPairs {
public:
    // The pairs of a needle, folded as the texts are; none for a needle
    // shorter than two characters (it is never ruled out here).
    using Keys = std::vector<quint16>;
    static Keys keysOf(QStringView needle);

    // Folds each UTF-16 unit on its own, as the case-folded text does.
    static char16_t fold(char16_t c)
    {
        if (c < 0x80)
            return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c;
        return QChar(c).toCaseFolded().unicode();
    }
    static quint16 key(char16_t first, char16_t second) { return quint16((first << 6 ^ second) & 0xFFF); }

    void clear() { bits_.fill(0); }
    void add(quint16 key) { bits_[key >> 6] |= quint64(1) << (key & 63); }
    // False when the text surely lacks one of the needle's pairs.
    bool mayHold(const Keys& keys) const
    {
        for (const quint16 key : keys)
            if (!(bits_[key >> 6] >> (key & 63) & 1))
                return false;
        return true;
    }

private:
    std::array<quint64, 64> bits_{};
};

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
        CharPairs pairs;
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
    // The pairs of neighbouring characters the folded text holds.
    const CharPairs& pairs();
    // Whether text() is well-formed UTF-16 (no lone surrogate), so that the
    // regular expressions need not check it again each.
    bool textIsWellFormed();

private:
    const LogRecord& record_;
    Buffers own_;
    Buffers* buffers_;
    const QString* text_ = nullptr;
    void fold();

    bool folded_ = false;
    bool hasSurrogates_ = false;
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
    // folding every character compared. Only a text that may hold the
    // needle's pairs is searched.
    std::optional<QStringMatcher> contains_;
    CharPairs::Keys containsPairs_;
    bool ignoreCase_ = false;
    std::optional<QRegularExpression> regex_;
    // The pairs of all the texts every match of the expression holds (see
    // requiredTexts()), then the longest of them, are looked for first: most
    // records lack them, and the expression is not run.
    CharPairs::Keys regexPairs_;
    std::optional<QStringMatcher> regexLiteral_;
    bool regexLiteralIgnoresCase_ = false;
};

// Texts that every match of a regular expression holds, as far as the pattern
// shows them plainly: the runs of at least two ordinary characters outside
// any group, none of them optional. Patterns with alternatives, quoting,
// options other than a leading (?i) or verbs give none. ignoresCase is set
// for a leading (?i) (the texts are then ASCII and folded).
QStringList requiredTexts(const QString& pattern, bool* ignoresCase);
// The longest of them, if it has three characters or more (else empty).
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
