#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// What a record must be for a rule to match it. Every condition is optional;
// the ones given must all hold, and a rule without any matches every record.
struct RuleConditions {
    // Severity 0 (emergency) up to this number; -1: any severity. A record
    // without a priority has no severity and does not match a set value.
    int severityMax = -1;
    // This facility (0..23); -1: any.
    int facility = -1;
    // The sender's address: one address ("10.0.0.5", "::1") or a network in
    // CIDR form ("10.0.0.0/8", "fd00::/8"); empty: any sender.
    QString address;
    // The host and program fields, compared whole and case-sensitively; empty: any.
    QString host;
    QString app;
    // Text the message holds (the whole text after the priority: header and
    // message, as the lists show it); case-sensitive unless caseSensitive is false.
    QString contains;
    bool caseSensitive = true;
    // A regular expression (Perl syntax, QRegularExpression) found anywhere
    // in the same text; empty: none.
    QString regex;

    bool operator==(const RuleConditions&) const = default;
};

// One thing a rule does when it fires.
struct RuleAction {
    enum class Kind { Notify, Run, Mail, Forward, Colour };
    Kind kind = Kind::Notify;
    // Run: the program and its arguments (no shell).
    QStringList command;
    // Run: seconds the program may take before it is killed.
    int timeoutSeconds = 30;
    // Mail: the address; Forward: the destination ("udp://10.0.0.5:514");
    // Colour: "#rrggbb".
    QString target;

    bool operator==(const RuleAction&) const = default;
};

// A rule as rules.json holds it.
struct Rule {
    static constexpr int kDefaultCooldownSeconds = 60;

    QString name;
    bool enabled = true;
    // The rule fires at most once in this many seconds; what matches in
    // between is counted and told with the next firing. 0: every match fires.
    int cooldownSeconds = kDefaultCooldownSeconds;
    RuleConditions when;
    QList<RuleAction> actions;

    // The colour of the rule's first colour action, as 0xRRGGBB.
    std::optional<quint32> colour() const;
    bool operator==(const Rule&) const = default;
};

// A rule that could not be read: its place in the file (from 1), its name as
// far as it could be read (empty if none), and why.
struct RuleFault {
    int position = 0;
    QString name;
    QString reason;

    // "rule 2 (\"router down\"): reason", or "rule 2: reason" without a name.
    QString text() const;
    bool operator==(const RuleFault&) const = default;
};

// What was read from a rules file.
struct ParsedRules {
    // The rules that could be read, in the file's order.
    QList<Rule> rules;
    // One per rule that could not be read; the other rules are unaffected.
    QList<RuleFault> faults;
    // Why nothing at all could be read (not JSON, no "rules" list); empty if it could.
    QString fileFault;

    bool ok() const { return fileFault.isEmpty() && faults.isEmpty(); }
};

// The rules file: {"rules": [ {rule}, ... ]}, each rule of the form
//   {"name": "router down", "enabled": true, "cooldown": 60,
//    "when": {"severity_max": 3, "facility": 23, "address": "10.0.0.0/8",
//             "host": "sw1", "app": "kernel", "contains": "DOWN",
//             "case_sensitive": false, "regex": "(?i)link (\\S+) down"},
//    "actions": [{"notify": true}, {"run": ["/usr/local/bin/page", "--team", "net"], "timeout": 10},
//                {"mail": "ops@example.org"}, {"forward": "udp://10.0.0.5:514"}, {"colour": "#c00000"}]}
// "name" and at least one action are required, names are unique; every other
// key may be left out. A key the rule does not know, a value of the wrong type
// or out of range makes the rule a fault.
class RuleSet {
public:
    // The file's name in the program directory (or the --dir directory).
    static QString fileName() { return QStringLiteral("rules.json"); }

    static ParsedRules parse(const QByteArray& json);
    // The file's text for these rules: parse(serialize(rules)).rules == rules.
    // Values equal to the defaults are left out.
    static QByteArray serialize(const QList<Rule>& rules);
    // One rule as understood, on one line:
    // "router down (enabled, cooldown 60 s): when severity <= 3 and ...; then notify, ...".
    static QString describe(const Rule& rule);
};
