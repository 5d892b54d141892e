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

const QString& MatchedRecord::text()
{
    if (!text_)
        text_ = record_.fields.wholeText(record_.message);
    return *text_;
}

RuleMatcher::RuleMatcher(const RuleConditions& conditions)
    : severityMax_(conditions.severityMax)
    , facility_(conditions.facility)
    , host_(conditions.host)
    , app_(conditions.app)
    , contains_(conditions.contains)
    , case_(conditions.caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive)
{
    if (!conditions.address.isEmpty()) {
        hasAddress_ = true;
        if (conditions.address.contains(u'/')) {
            const QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(conditions.address);
            address_ = subnet.first;
            prefixLength_ = subnet.second;
        } else {
            address_ = QHostAddress(conditions.address);
        }
    }
    if (!conditions.regex.isEmpty()) {
        regex_.emplace(conditions.regex);
        regex_->optimize();
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
    if (hasAddress_) {
        const QHostAddress& sender = matched.address();
        if (prefixLength_ >= 0 ? !sender.isInSubnet(address_, prefixLength_)
                               : !sender.isEqual(address_, QHostAddress::TolerantConversion))
            return false;
    }
    if (!contains_.isEmpty() && !matched.text().contains(contains_, case_))
        return false;
    if (regex_ && !regex_->match(matched.text()).hasMatch())
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
