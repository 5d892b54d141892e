#include "rules/RuleMatcher.h"

#include <algorithm>

const QHostAddress& MatchedRecord::address()
{
    if (!address_) {
        QHostAddress address(record_.ip);
        bool isIpv4 = false;
        const quint32 ipv4 = address.toIPv4Address(&isIpv4);
        if (isIpv4 && address.protocol() == QAbstractSocket::IPv6Protocol)
            address = QHostAddress(ipv4);
        address_ = address;
    }
    return *address_;
}

namespace {

// "a.b.c.d" with four numbers of 0 to 255 and nothing else.
std::optional<quint32> dottedIpv4(QStringView text)
{
    quint32 value = 0;
    int parts = 0;
    qsizetype i = 0;
    while (parts < 4) {
        quint32 part = 0;
        const qsizetype start = i;
        for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9' && i - start < 3; ++i)
            part = part * 10 + (text[i].unicode() - u'0');
        if (i == start || part > 255)
            return std::nullopt;
        value = value << 8 | part;
        if (++parts < 4) {
            if (i >= text.size() || text[i] != u'.')
                return std::nullopt;
            ++i;
        }
    }
    return i == text.size() ? std::optional<quint32>(value) : std::nullopt;
}

} // namespace

std::optional<quint32> MatchedRecord::ipv4()
{
    if (!ipv4_) {
        std::optional<quint32> value = dottedIpv4(record_.ip);
        if (!value) {
            bool isIpv4 = false;
            const quint32 converted = address().toIPv4Address(&isIpv4);
            if (isIpv4)
                value = converted;
        }
        ipv4_ = value;
    }
    return *ipv4_;
}

const QString& MatchedRecord::text()
{
    if (!text_) {
        const LogFields& fields = record_.fields;
        if (fields.head.isNull()) {
            text_ = &record_.message;
        } else {
            QString& text = buffers_->text;
            text.truncate(0); // keeps its room for the next record
            text.append(fields.head).append(u' ').append(record_.message);
            text_ = &text;
        }
    }
    return *text_;
}

const QString& MatchedRecord::foldedText()
{
    if (!folded_)
        fold();
    return buffers_->folded;
}

const CharPairs& MatchedRecord::pairs()
{
    if (!folded_)
        fold();
    return buffers_->pairs;
}

// The folded text and its pairs, in two tight passes: most texts are ASCII,
// and the first pass folds them without a branch per character.
void MatchedRecord::fold()
{
    folded_ = true;
    const QString& source = text();
    const qsizetype size = source.size();
    QString& folded = buffers_->folded;
    folded.resize(size);
    const char16_t* from = reinterpret_cast<const char16_t*>(source.constData());
    char16_t* to = reinterpret_cast<char16_t*>(folded.data());
    char16_t all = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t c = from[i];
        all |= c;
        to[i] = char16_t(c + (char16_t(c - u'A') < 26 ? 32 : 0));
    }
    hasSurrogates_ = false;
    if (all >= 0x80) {
        for (qsizetype i = 0; i < size; ++i) {
            if (from[i] >= 0x80) {
                hasSurrogates_ |= (from[i] & 0xF800) == 0xD800;
                to[i] = CharPairs::fold(from[i]);
            }
        }
    }
    CharPairs& pairs = buffers_->pairs;
    pairs.clear();
    for (qsizetype i = 1; i < size; ++i)
        pairs.add(CharPairs::key(to[i - 1], to[i]));
}

bool MatchedRecord::textIsWellFormed()
{
    if (!wellFormed_) {
        foldedText(); // tells whether there is any surrogate at all
        bool wellFormed = true;
        const QString& source = text();
        for (qsizetype i = 0; hasSurrogates_ && i < source.size() && wellFormed; ++i) {
            const QChar c = source[i];
            if (c.isHighSurrogate() && i + 1 < source.size() && source[i + 1].isLowSurrogate())
                ++i;
            else if (c.isSurrogate())
                wellFormed = false;
        }
        wellFormed_ = wellFormed;
    }
    return *wellFormed_;
}

CharPairs::Keys CharPairs::keysOf(QStringView needle)
{
    Keys keys;
    for (qsizetype i = 1; i < needle.size(); ++i)
        keys.push_back(key(fold(needle[i - 1].unicode()), fold(needle[i].unicode())));
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

QStringList requiredTexts(const QString& pattern, bool* ignoresCase)
{
    *ignoresCase = false;
    QStringView rest(pattern);
    if (rest.startsWith(u"(?i)")) {
        *ignoresCase = true;
        rest = rest.mid(4);
    }
    if (rest.contains(u'|') || rest.contains(u"(?") || rest.contains(u"(*") || rest.contains(u"\\Q"))
        return {};
    QStringList texts;
    QString run;
    const auto endRun = [&] {
        const bool plain = std::all_of(run.cbegin(), run.cend(), [](QChar c) { return c.unicode() < 0x80; });
        if (run.size() >= 2 && (plain || !*ignoresCase))
            texts << (*ignoresCase ? run.toLower() : run);
        run.clear();
    };
    int depth = 0;
    for (qsizetype i = 0; i < rest.size(); ++i) {
        const QChar c = rest[i];
        const QChar next = i + 1 < rest.size() ? rest[i + 1] : QChar();
        const bool quantified = next == u'?' || next == u'*' || next == u'{';
        if (c == u'\\') {
            // An escaped punctuation character is itself; any other escape
            // (\d, \S, \x, a back reference, ...) ends the run.
            const QChar escaped = next;
            const QChar after = i + 2 < rest.size() ? rest[i + 2] : QChar();
            ++i;
            if (depth == 0 && !escaped.isNull() && escaped.unicode() < 0x80 && !escaped.isLetterOrNumber()
                && after != u'?' && after != u'*' && after != u'{') {
                run += escaped;
                if (after == u'+')
                    endRun();
            } else {
                endRun();
            }
        } else if (c == u'[') {
            // A character class: skipped whole (a ']' first in it is its own).
            qsizetype j = i + 1;
            if (j < rest.size() && rest[j] == u'^')
                ++j;
            if (j < rest.size() && rest[j] == u']')
                ++j;
            for (; j < rest.size() && rest[j] != u']'; ++j)
                if (rest[j] == u'\\')
                    ++j;
            i = j;
            endRun();
        } else if (c == u'(') {
            ++depth;
            endRun();
        } else if (c == u')') {
            --depth;
            endRun();
        } else if (depth > 0 || QStringView(u".[]^$?*+{}").contains(c) || quantified) {
            endRun();
        } else {
            run += c;
            if (next == u'+')
                endRun();
        }
    }
    endRun();
    return texts;
}

QString requiredLiteral(const QString& pattern, bool* ignoresCase)
{
    QString longest;
    for (const QString& text : requiredTexts(pattern, ignoresCase))
        if (text.size() >= 3 && text.size() > longest.size())
            longest = text;
    return longest;
}

RuleMatcher::RuleMatcher(const RuleConditions& conditions)
    : severityMax_(conditions.severityMax)
    , facility_(conditions.facility)
    , host_(conditions.host)
    , app_(conditions.app)
{
    if (!conditions.contains.isEmpty()) {
        ignoreCase_ = !conditions.caseSensitive;
        contains_.emplace(ignoreCase_ ? conditions.contains.toCaseFolded() : conditions.contains, Qt::CaseSensitive);
        containsPairs_ = CharPairs::keysOf(contains_->pattern());
    }
    if (!conditions.address.isEmpty()) {
        hasAddress_ = true;
        if (conditions.address.contains(u'/')) {
            const QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(conditions.address);
            address_ = subnet.first;
            prefixLength_ = subnet.second;
        } else {
            address_ = QHostAddress(conditions.address);
        }
        if (address_.protocol() == QAbstractSocket::IPv4Protocol) {
            ipv4Condition_ = true;
            const int bits = prefixLength_ < 0 ? 32 : prefixLength_;
            ipv4Mask_ = bits == 0 ? 0 : ~quint32(0) << (32 - bits);
            ipv4Network_ = address_.toIPv4Address() & ipv4Mask_;
        }
    }
    if (!conditions.regex.isEmpty()) {
        regex_.emplace(conditions.regex);
        regex_->optimize();
        QString longest;
        for (const QString& text : requiredTexts(conditions.regex, &regexLiteralIgnoresCase_)) {
            const CharPairs::Keys keys = CharPairs::keysOf(text);
            regexPairs_.insert(regexPairs_.end(), keys.begin(), keys.end());
            if (text.size() >= 3 && text.size() > longest.size())
                longest = text;
        }
        if (!longest.isEmpty())
            regexLiteral_.emplace(longest, Qt::CaseSensitive);
    }
}

bool RuleMatcher::matches(MatchedRecord& matched) const
{
    const LogRecord& record = matched.record();
    if (severityMax_ >= 0 && (record.fields.severity < 0 || record.fields.severity > severityMax_))
        return false;
    if (facility_ >= 0 && record.fields.facility != facility_)
        return false;
    if (!host_.isEmpty() && record.fields.host != host_)
        return false;
    if (!app_.isEmpty() && record.fields.app != app_)
        return false;
    if (ipv4Condition_) {
        const std::optional<quint32> sender = matched.ipv4();
        if (!sender || (*sender & ipv4Mask_) != ipv4Network_)
            return false;
    } else if (hasAddress_) {
        // An IPv4 sender is never in an IPv6 network (a single IPv6 address
        // may still name it, ::1 or ::ffff:10.0.0.1, and is compared as such).
        if (prefixLength_ >= 0 && matched.ipv4())
            return false;
        const QHostAddress& sender = matched.address();
        if (prefixLength_ >= 0 ? !sender.isInSubnet(address_, prefixLength_)
                               : !sender.isEqual(address_, QHostAddress::TolerantConversion))
            return false;
    }
    if (contains_
        && (!matched.pairs().mayHold(containsPairs_)
            || contains_->indexIn(ignoreCase_ ? matched.foldedText() : matched.text()) < 0))
        return false;
    if (regex_ && !matched.pairs().mayHold(regexPairs_))
        return false;
    if (regexLiteral_
        && regexLiteral_->indexIn(regexLiteralIgnoresCase_ ? matched.foldedText() : matched.text()) < 0)
        return false;
    // A text already known to be well-formed is not checked again by each expression.
    if (regex_
        && !regex_
                ->match(matched.text(), 0, QRegularExpression::NormalMatch,
                        matched.textIsWellFormed() ? QRegularExpression::DontCheckSubjectStringMatchOption
                                                   : QRegularExpression::NoMatchOption)
                .hasMatch())
        return false;
    return true;
}

bool RuleMatcher::matches(const LogRecord& record) const
{
    MatchedRecord matched(record);
    return matches(matched);
}

RuleColours::RuleColours(const QList<Rule>& rules)
{
    for (const Rule& rule : rules)
        if (const std::optional<quint32> colour = rule.colour(); rule.enabled && colour)
            coloured_.emplace_back(RuleMatcher(rule.when), *colour);
}

std::optional<quint32> RuleColours::colourFor(const LogRecord& record) const
{
    MatchedRecord matched(record);
    for (const auto& [matcher, colour] : coloured_)
        if (matcher.matches(matched))
            return colour;
    return std::nullopt;
}
