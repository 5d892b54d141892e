#include "rules/Rule.h"

#include "net/ForwardDestination.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QSet>
#include <cmath>

namespace {

const QString kName = QStringLiteral("name");
const QString kEnabled = QStringLiteral("enabled");
const QString kCooldown = QStringLiteral("cooldown");
const QString kWhen = QStringLiteral("when");
const QString kActions = QStringLiteral("actions");
const QString kSeverityMax = QStringLiteral("severity_max");
const QString kFacility = QStringLiteral("facility");
const QString kAddress = QStringLiteral("address");
const QString kHost = QStringLiteral("host");
const QString kApp = QStringLiteral("app");
const QString kContains = QStringLiteral("contains");
const QString kCaseSensitive = QStringLiteral("case_sensitive");
const QString kRegex = QStringLiteral("regex");
const QString kNotify = QStringLiteral("notify");
const QString kRun = QStringLiteral("run");
const QString kTimeout = QStringLiteral("timeout");
const QString kMail = QStringLiteral("mail");
const QString kForward = QStringLiteral("forward");
const QString kColour = QStringLiteral("colour");
constexpr int kDefaultTimeoutSeconds = 30;

// A rule that cannot be read: thrown inside the reading of one rule only.
struct Unreadable {
    QString reason;
};

[[noreturn]] void fail(const QString& reason) { throw Unreadable{reason}; }

void onlyKnownKeys(const QJsonObject& object, const QStringList& known, const QString& where)
{
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!known.contains(it.key()))
            fail(QStringLiteral("%1 has an unknown key \"%2\" (known: %3)").arg(where, it.key(), known.join(u", ")));
}

int wholeNumber(const QJsonValue& value, const QString& key, int lowest, int highest)
{
    const double number = value.toDouble(std::nan(""));
    if (!value.isDouble() || number != std::floor(number) || number < lowest || number > highest)
        fail(QStringLiteral("\"%1\" must be a whole number of %2 to %3").arg(key).arg(lowest).arg(highest));
    return int(number);
}

QString text(const QJsonValue& value, const QString& key)
{
    if (!value.isString())
        fail(QStringLiteral("\"%1\" must be a text").arg(key));
    return value.toString();
}

bool flag(const QJsonValue& value, const QString& key)
{
    if (!value.isBool())
        fail(QStringLiteral("\"%1\" must be true or false").arg(key));
    return value.toBool();
}

bool isAddressOrNetwork(const QString& text)
{
    if (text.contains(u'/')) {
        const QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(text);
        return !subnet.first.isNull() && subnet.second >= 0;
    }
    return !QHostAddress(text).isNull();
}

std::optional<quint32> colourValue(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^#([0-9a-fA-F]{6}|[0-9a-fA-F]{3})$"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    QString hex = text.mid(1);
    if (hex.size() == 3)
        hex = QString(hex[0]) + hex[0] + hex[1] + hex[1] + hex[2] + hex[2];
    return hex.toUInt(nullptr, 16);
}

RuleConditions readConditions(const QJsonValue& value)
{
    if (!value.isObject())
        fail(QStringLiteral("\"when\" must be an object"));
    const QJsonObject when = value.toObject();
    onlyKnownKeys(when, {kSeverityMax, kFacility, kAddress, kHost, kApp, kContains, kCaseSensitive, kRegex},
                  QStringLiteral("\"when\""));
    RuleConditions conditions;
    if (when.contains(kSeverityMax))
        conditions.severityMax = wholeNumber(when[kSeverityMax], kSeverityMax, 0, 7);
    if (when.contains(kFacility))
        conditions.facility = wholeNumber(when[kFacility], kFacility, 0, 23);
    if (when.contains(kAddress)) {
        conditions.address = text(when[kAddress], kAddress).trimmed();
        if (!isAddressOrNetwork(conditions.address))
            fail(QStringLiteral("\"address\" \"%1\" is neither an IPv4 or IPv6 address nor a network such as "
                                "10.0.0.0/8")
                     .arg(conditions.address));
    }
    if (when.contains(kHost))
        conditions.host = text(when[kHost], kHost);
    if (when.contains(kApp))
        conditions.app = text(when[kApp], kApp);
    if (when.contains(kContains))
        conditions.contains = text(when[kContains], kContains);
    if (when.contains(kCaseSensitive))
        conditions.caseSensitive = flag(when[kCaseSensitive], kCaseSensitive);
    if (when.contains(kRegex)) {
        conditions.regex = text(when[kRegex], kRegex);
        const QRegularExpression expression(conditions.regex);
        if (!expression.isValid())
            fail(QStringLiteral("\"regex\" is not a valid regular expression: %1 at character %2")
                     .arg(expression.errorString())
                     .arg(expression.patternErrorOffset() + 1));
    }
    return conditions;
}

RuleAction readAction(const QJsonValue& value, int position)
{
    const QString where = QStringLiteral("action %1").arg(position);
    if (!value.isObject())
        fail(where + QStringLiteral(" must be an object such as {\"notify\": true}"));
    const QJsonObject object = value.toObject();
    onlyKnownKeys(object, {kNotify, kRun, kTimeout, kMail, kForward, kColour}, where);
    QStringList kinds;
    for (const QString& kind : {kNotify, kRun, kMail, kForward, kColour})
        if (object.contains(kind))
            kinds << kind;
    if (kinds.size() != 1)
        fail(where + QStringLiteral(" must have exactly one of \"notify\", \"run\", \"mail\", \"forward\", "
                                    "\"colour\""));
    if (object.contains(kTimeout) && kinds.first() != kRun)
        fail(where + QStringLiteral(": \"timeout\" goes with \"run\""));
    RuleAction action;
    const QString& kind = kinds.first();
    if (kind == kNotify) {
        if (!flag(object[kNotify], kNotify))
            fail(where + QStringLiteral(": \"notify\" is true or the action is left out"));
        action.kind = RuleAction::Kind::Notify;
    } else if (kind == kRun) {
        action.kind = RuleAction::Kind::Run;
        const QJsonValue run = object[kRun];
        if (!run.isArray() || run.toArray().isEmpty())
            fail(where + QStringLiteral(": \"run\" must be a list: the program, then its arguments"));
        for (const QJsonValue& part : run.toArray()) {
            if (!part.isString())
                fail(where + QStringLiteral(": every part of \"run\" must be a text"));
            action.command << part.toString();
        }
        if (action.command.first().isEmpty())
            fail(where + QStringLiteral(": \"run\" names no program"));
        if (object.contains(kTimeout))
            action.timeoutSeconds = wholeNumber(object[kTimeout], kTimeout, 1, 24 * 3600);
    } else if (kind == kMail) {
        action.kind = RuleAction::Kind::Mail;
        action.target = text(object[kMail], kMail).trimmed();
        if (!action.target.contains(u'@') || action.target.contains(u' '))
            fail(where + QStringLiteral(": \"mail\" \"%1\" is not a mail address").arg(action.target));
    } else if (kind == kForward) {
        action.kind = RuleAction::Kind::Forward;
        action.target = text(object[kForward], kForward).trimmed();
        const ParsedForwardDestinations parsed = parseForwardDestinations(action.target);
        if (!parsed.errors.isEmpty())
            fail(where + QStringLiteral(": ") + parsed.errors.first());
        if (parsed.destinations.size() != 1)
            fail(where + QStringLiteral(": \"forward\" must name one destination, such as udp://10.0.0.5:514"));
    } else {
        action.kind = RuleAction::Kind::Colour;
        action.target = text(object[kColour], kColour).trimmed();
        if (!colourValue(action.target))
            fail(where + QStringLiteral(": \"colour\" \"%1\" is not a colour of the form #rrggbb").arg(action.target));
    }
    return action;
}

Rule readRule(const QJsonObject& object)
{
    onlyKnownKeys(object, {kName, kEnabled, kCooldown, kWhen, kActions}, QStringLiteral("the rule"));
    Rule rule;
    rule.name = object[kName].toString().trimmed();
    if (!object[kName].isString() || rule.name.isEmpty())
        fail(QStringLiteral("it has no \"name\""));
    if (object.contains(kEnabled))
        rule.enabled = flag(object[kEnabled], kEnabled);
    if (object.contains(kCooldown))
        rule.cooldownSeconds = wholeNumber(object[kCooldown], kCooldown, 0, 7 * 24 * 3600);
    if (object.contains(kWhen))
        rule.when = readConditions(object[kWhen]);
    const QJsonValue actions = object[kActions];
    if (!actions.isArray() || actions.toArray().isEmpty())
        fail(QStringLiteral("it has no \"actions\" (a list of one or more)"));
    int position = 0;
    for (const QJsonValue& action : actions.toArray())
        rule.actions << readAction(action, ++position);
    return rule;
}

// A value as JSON text, on one line.
QString json(const QJsonValue& value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QString pair(const QString& key, const QJsonValue& value) { return json(key) + QStringLiteral(": ") + json(value); }

QString conditionsJson(const RuleConditions& when)
{
    QStringList parts;
    if (when.severityMax >= 0)
        parts << pair(kSeverityMax, when.severityMax);
    if (when.facility >= 0)
        parts << pair(kFacility, when.facility);
    for (const auto& [key, value] : {std::pair{kAddress, when.address}, std::pair{kHost, when.host},
                                     std::pair{kApp, when.app}, std::pair{kContains, when.contains}})
        if (!value.isEmpty())
            parts << pair(key, value);
    if (!when.caseSensitive)
        parts << pair(kCaseSensitive, false);
    if (!when.regex.isEmpty())
        parts << pair(kRegex, when.regex);
    return u'{' + parts.join(u", ") + u'}';
}

QString actionJson(const RuleAction& action)
{
    switch (action.kind) {
    case RuleAction::Kind::Notify:
        return u'{' + pair(kNotify, true) + u'}';
    case RuleAction::Kind::Run: {
        QString text = u'{' + pair(kRun, QJsonArray::fromStringList(action.command));
        if (action.timeoutSeconds != kDefaultTimeoutSeconds)
            text += QStringLiteral(", ") + pair(kTimeout, action.timeoutSeconds);
        return text + u'}';
    }
    case RuleAction::Kind::Mail:
        return u'{' + pair(kMail, action.target) + u'}';
    case RuleAction::Kind::Forward:
        return u'{' + pair(kForward, action.target) + u'}';
    case RuleAction::Kind::Colour:
        return u'{' + pair(kColour, action.target) + u'}';
    }
    return {};
}

QString actionText(const RuleAction& action)
{
    switch (action.kind) {
    case RuleAction::Kind::Notify:
        return QStringLiteral("notify");
    case RuleAction::Kind::Run:
        return QStringLiteral("run %1 (killed after %2 s)").arg(action.command.join(u' ')).arg(action.timeoutSeconds);
    case RuleAction::Kind::Mail:
        return QStringLiteral("mail %1").arg(action.target);
    case RuleAction::Kind::Forward:
        return QStringLiteral("forward to %1").arg(action.target);
    case RuleAction::Kind::Colour:
        return QStringLiteral("colour %1").arg(action.target);
    }
    return {};
}

} // namespace

std::optional<quint32> Rule::colour() const
{
    for (const RuleAction& action : actions)
        if (action.kind == RuleAction::Kind::Colour)
            return colourValue(action.target);
    return std::nullopt;
}

QString RuleFault::text() const
{
    return name.isEmpty() ? QStringLiteral("rule %1: %2").arg(position).arg(reason)
                          : QStringLiteral("rule %1 (\"%2\"): %3").arg(position).arg(name, reason);
}

ParsedRules RuleSet::parse(const QByteArray& jsonText)
{
    ParsedRules parsed;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(jsonText, &error);
    if (error.error != QJsonParseError::NoError) {
        parsed.fileFault =
            QStringLiteral("it is not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset + 1);
        return parsed;
    }
    const QJsonValue list = document.object()[QStringLiteral("rules")];
    if (!document.isObject() || !list.isArray()) {
        parsed.fileFault = QStringLiteral("it has no list \"rules\": {\"rules\": [...]}");
        return parsed;
    }
    QSet<QString> names;
    int position = 0;
    for (const QJsonValue& value : list.toArray()) {
        ++position;
        const QString name = value.toObject()[kName].toString().trimmed();
        try {
            if (!value.isObject())
                fail(QStringLiteral("it is not an object {...}"));
            Rule rule = readRule(value.toObject());
            if (names.contains(rule.name))
                fail(QStringLiteral("an earlier rule has the same name"));
            names.insert(rule.name);
            parsed.rules << std::move(rule);
        } catch (const Unreadable& unreadable) {
            parsed.faults << RuleFault{position, name, unreadable.reason};
        }
    }
    return parsed;
}

QByteArray RuleSet::serialize(const QList<Rule>& rules)
{
    QStringList texts;
    for (const Rule& rule : rules) {
        QStringList lines{pair(kName, rule.name), pair(kEnabled, rule.enabled), pair(kCooldown, rule.cooldownSeconds)};
        if (rule.when != RuleConditions{})
            lines << json(kWhen) + QStringLiteral(": ") + conditionsJson(rule.when);
        QStringList actions;
        for (const RuleAction& action : rule.actions)
            actions << actionJson(action);
        lines << json(kActions) + QStringLiteral(": [") + actions.join(u", ") + u']';
        texts << QStringLiteral("    {\n      ") + lines.join(QStringLiteral(",\n      ")) + QStringLiteral("\n    }");
    }
    const QString body = texts.isEmpty() ? QString() : u'\n' + texts.join(QStringLiteral(",\n")) + QStringLiteral("\n  ");
    return (QStringLiteral("{\n  \"rules\": [") + body + QStringLiteral("]\n}\n")).toUtf8();
}

QString RuleSet::describe(const Rule& rule)
{
    const RuleConditions& when = rule.when;
    QStringList conditions;
    if (when.severityMax >= 0)
        conditions << QStringLiteral("severity at most %1").arg(when.severityMax);
    if (when.facility >= 0)
        conditions << QStringLiteral("facility %1").arg(when.facility);
    if (!when.address.isEmpty())
        conditions << QStringLiteral("sender %1 %2").arg(when.address.contains(u'/') ? u"in" : u"is", when.address);
    if (!when.host.isEmpty())
        conditions << QStringLiteral("host is %1").arg(json(when.host));
    if (!when.app.isEmpty())
        conditions << QStringLiteral("program is %1").arg(json(when.app));
    if (!when.contains.isEmpty())
        conditions << QStringLiteral("text contains %1 (%2)")
                          .arg(json(when.contains), when.caseSensitive ? u"case-sensitive" : u"any case");
    if (!when.regex.isEmpty())
        conditions << QStringLiteral("text matches %1").arg(json(when.regex));
    QStringList actions;
    for (const RuleAction& action : rule.actions)
        actions << actionText(action);
    return QStringLiteral("%1 (%2, cooldown %3 s): when %4; then %5")
        .arg(json(rule.name), rule.enabled ? u"enabled" : u"disabled")
        .arg(rule.cooldownSeconds)
        .arg(conditions.isEmpty() ? QStringLiteral("any record") : conditions.join(QStringLiteral(" and ")),
             actions.join(QStringLiteral(", ")));
}
