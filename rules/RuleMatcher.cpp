#include "rules/RuleMatcher.h"

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
    QString& folded = buffers_->folded;
    if (!folded_) {
        folded_ = true;
        const QString& source = text();
        folded.resize(source.size());
        const QChar* from = source.constData();
        QChar* to = folded.data();
        for (qsizetype i = 0; i < source.size(); ++i) {
            const char16_t c = from[i].unicode();
            if (c < 0x80)
                to[i] = QChar(c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c);
            else
                to[i] = from[i].toCaseFolded();
        }
    }
    return folded;
}

bool MatchedRecord::textIsWellFormed()
{
    if (!wellFormed_) {
        const QString& source = text();
        bool wellFormed = true;
        for (qsizetype i = 0; i < source.size() && wellFormed; ++i) {
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

QString requiredLiteral(const QString& pattern, bool* ignoresCase)
{
    *ignoresCase = false;
    QStringView rest(pattern);
    if (rest.startsWith(u"(?i)")) {
        *ignoresCase = true;
        rest = rest.mid(4);
    }
    if (rest.contains(u'|') || rest.contains(u"(?") || rest.contains(u"(*") || rest.contains(u"\\Q"))
        return {};
    QString best;
    QString run;
    const auto endRun = [&] {
        if (run.size() > best.size())
            best = run;
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
    if (best.size() < 3)
        return {};
    if (*ignoresCase) {
        for (const QChar c : std::as_const(best))
            if (c.unicode() >= 0x80)
                return {};
        best = best.toLower();
    }
    return best;
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
        const QString literal = requiredLiteral(conditions.regex, &regexLiteralIgnoresCase_);
        if (!literal.isEmpty())
            regexLiteral_.emplace(literal, Qt::CaseSensitive);
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
        const QHostAddress& sender = matched.address();
        if (prefixLength_ >= 0 ? !sender.isInSubnet(address_, prefixLength_)
                               : !sender.isEqual(address_, QHostAddress::TolerantConversion))
            return false;
    }
    if (contains_ && contains_->indexIn(ignoreCase_ ? matched.foldedText() : matched.text()) < 0)
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
