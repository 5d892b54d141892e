// Rules: reading the file, matching records, colours and the cooldown.
#include "rules/RuleEngine.h"
#include "rules/RuleMatcher.h"
#include "rules/RuleMatching.h"
#include "tests/support/Fakes.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// "<187>2026-12-07T12:00:00Z sw1 kernel: link eth0 DOWN" from 10.1.2.3:
// facility 23, severity 3; the header's first word is kept apart as the store does.
LogRecord routerRecord(const QString& ip = u"10.1.2.3"_s)
{
    LogFields fields;
    fields.facility = 23;
    fields.severity = 3;
    fields.host = u"sw1"_s;
    fields.app = u"kernel"_s;
    fields.head = u"2026-12-07T12:00:00Z"_s;
    fields.msgPos = 33;
    return LogRecord(u"2026-12-07 12:00:00"_s, ip, u"sw1 kernel: link eth0 DOWN"_s, fields);
}

Rule ruleWhen(const QString& when)
{
    const ParsedRules parsed = RuleSet::parse(
        uR"({"rules": [{"name": "r", "when": %1, "actions": [{"notify": true}]}]})"_s.arg(when).toUtf8());
    EXPECT_TRUE(parsed.ok()) << when.toStdString() << ": "
                             << (parsed.faults.isEmpty() ? parsed.fileFault : parsed.faults[0].text()).toStdString();
    return parsed.rules.value(0);
}

} // namespace

TEST(RuleMatching, EachConditionKindAndTheirConjunction)
{
    LogRecord german = routerRecord();
    german.message = u"sw1 kernel: Ärger mit eth0"_s;
    LogRecord kelvin = routerRecord(); // KELVIN SIGN, folded to k
    kelvin.message = u"sw1 \u212Aernel: link eth0 DOWN"_s;
    LogRecord noPriority = routerRecord();
    noPriority.fields.severity = -1;
    noPriority.fields.facility = -1;
    const struct {
        const char* when;
        LogRecord record;
        bool matches;
    } cases[] = {
        {"{}", routerRecord(), true},
        {R"({"severity_max": 3})", routerRecord(), true},
        {R"({"severity_max": 2})", routerRecord(), false},
        {R"({"severity_max": 7})", noPriority, false},
        {R"({"facility": 23})", routerRecord(), true},
        {R"({"facility": 22})", routerRecord(), false},
        {R"({"address": "10.1.2.3"})", routerRecord(), true},
        {R"({"address": "10.1.2.4"})", routerRecord(), false},
        {R"({"address": "10.0.0.0/8"})", routerRecord(), true},
        {R"({"address": "10.2.0.0/16"})", routerRecord(), false},
        {R"({"address": "10.0.0.0/8"})", routerRecord(u"::ffff:10.1.2.3"_s), true},
        {R"({"address": "fd00::/8"})", routerRecord(u"fd00::5"_s), true},
        {R"({"address": "fd00::/8"})", routerRecord(), false},
        {R"({"host": "sw1"})", routerRecord(), true},
        {R"({"host": "SW1"})", routerRecord(), false},
        {R"({"app": "kernel"})", routerRecord(), true},
        {R"({"app": "kern"})", routerRecord(), false},
        {R"({"contains": "DOWN"})", routerRecord(), true},
        {R"({"contains": "down"})", routerRecord(), false},
        {R"({"contains": "down", "case_sensitive": false})", routerRecord(), true},
        {R"({"contains": "ÄRGER MIT", "case_sensitive": false})", german, true},
        {R"({"contains": "ärger ohne", "case_sensitive": false})", german, false},
        {R"({"contains": "KERNEL: LINK", "case_sensitive": false})", kelvin, true},
        // The header is part of the text looked at.
        {R"({"contains": "12:00:00Z sw1"})", routerRecord(), true},
        {R"({"regex": "link (\\S+) down"})", routerRecord(), false},
        {R"({"regex": "(?i)link (\\S+) down$"})", routerRecord(), true},
        {R"({"regex": "^2026-\\d\\d-07T"})", routerRecord(), true},
        // Expressions whose plain text is looked for first.
        {R"({"regex": "[a-z]th0 DOWN"})", routerRecord(), true},
        {R"({"regex": "(?i)LINK eth\\d"})", routerRecord(), true},
        {R"({"regex": "(?i)LINK eth\\d down!"})", routerRecord(), false},
        {R"({"regex": "lin?k eth0"})", routerRecord(), true},
        {R"({"regex": "sw1 kernel\\: link"})", routerRecord(), true},
        {R"({"regex": "DOWN|UP"})", routerRecord(), true},
        {R"({"regex": "link (\\S+) DOWN"})", routerRecord(), true},
        {R"({"regex": "(?i)K\\w+: link (\\S+) up"})", routerRecord(), false},
        {R"({"severity_max": 3, "facility": 23, "address": "10.0.0.0/8", "host": "sw1", "app": "kernel",
             "contains": "eth0", "regex": "DOWN$"})", routerRecord(), true},
        {R"({"severity_max": 3, "facility": 23, "address": "10.0.0.0/8", "host": "sw2", "app": "kernel",
             "contains": "eth0", "regex": "DOWN$"})", routerRecord(), false},
    };
    for (const auto& c : cases) {
        const Rule rule = ruleWhen(QString::fromUtf8(c.when));
        EXPECT_EQ(RuleMatcher(rule.when).matches(c.record), c.matches) << c.when << " from " << c.record.ip.toStdString();
    }
}

TEST(RuleMatching, TheTextAnExpressionRequiresIsOnlyWhatEveryMatchHolds)
{
    const struct {
        const char* pattern;
        const char* literal;
        bool ignoresCase;
    } cases[] = {
        {"link (\\S+) down", "link ", false},
        {"(?i)Speed 100M,", "speed 100m,", true},
        {"seq 9\\d{9}$", "seq 9", false},
        {"(?i)err(or)?", "err", true},
        {"[xyz]abcd", "abcd", false},
        {"[]ab]cdef", "cdef", false},
        {"ab?cdef", "cdef", false},
        {"abcd+ef", "abcd", false},
        {"abc{2}defg", "defg", false},
        {"a\\.b\\-c\\sdefg", "a.b-c", false},
        {"x\\.?abcd", "abcd", false},
        {"up|down", "", false},
        {"(?x) spaced out ", "", false},
        {"\\Qa.b\\E", "", false},
        {"(?i)grüße", "", true},
        {"ab", "", false},
    };
    for (const auto& c : cases) {
        bool ignoresCase = false;
        EXPECT_EQ(requiredLiteral(QString::fromUtf8(c.pattern), &ignoresCase), QString::fromUtf8(c.literal)) << c.pattern;
        EXPECT_EQ(ignoresCase, c.ignoresCase) << c.pattern;
    }
}

TEST(RulesText, BrokenRulesAreFaultsNamingTheRuleAndTheOthersAreRead)
{
    const ParsedRules parsed = RuleSet::parse(R"({"rules": [
        {"name": "good", "actions": [{"notify": true}]},
        {"name": "bad severity", "when": {"severity_max": 8}, "actions": [{"notify": true}]},
        {"name": "bad regex", "when": {"regex": "(unclosed"}, "actions": [{"notify": true}]},
        {"name": "typo", "when": {"severity": 3}, "actions": [{"notify": true}]},
        {"name": "no actions", "actions": []},
        {"name": "two kinds", "actions": [{"mail": "a@b.c", "notify": true}]},
        {"name": "bad destination", "actions": [{"forward": "smtp://x:1"}]},
        {"name": "bad colour", "actions": [{"colour": "red"}]},
        {"name": "bad address", "when": {"address": "10.0.0.0/33"}, "actions": [{"notify": true}]},
        {"when": {}, "actions": [{"notify": true}]},
        {"name": "good", "actions": [{"notify": true}]},
        {"name": "also good", "cooldown": 0, "actions": [{"run": ["/bin/true"], "timeout": 5}]}
    ]})");
    ASSERT_TRUE(parsed.fileFault.isEmpty());
    ASSERT_EQ(parsed.rules.size(), 2);
    EXPECT_EQ(parsed.rules[0].name, u"good"_s);
    EXPECT_EQ(parsed.rules[1].name, u"also good"_s);
    QStringList faults;
    for (const RuleFault& fault : parsed.faults)
        faults << fault.text();
    const QStringList expected{
        u"rule 2 (\"bad severity\"): \"severity_max\" must be a whole number of 0 to 7"_s,
        u"rule 3 (\"bad regex\"): \"regex\" is not a valid regular expression"_s,
        u"rule 4 (\"typo\"): \"when\" has an unknown key \"severity\""_s,
        u"rule 5 (\"no actions\"): it has no \"actions\""_s,
        u"rule 6 (\"two kinds\"): action 1 must have exactly one of"_s,
        u"rule 7 (\"bad destination\"): action 1: "_s,
        u"rule 8 (\"bad colour\"): action 1: \"colour\" \"red\" is not a colour"_s,
        u"rule 9 (\"bad address\"): \"address\" \"10.0.0.0/33\" is neither"_s,
        u"rule 10: it has no \"name\""_s,
        u"rule 11 (\"good\"): an earlier rule has the same name"_s,
    };
    ASSERT_EQ(faults.size(), expected.size()) << faults.join(u'\n').toStdString();
    for (qsizetype i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(faults[i].startsWith(expected[i])) << faults[i].toStdString();

    EXPECT_FALSE(RuleSet::parse("{\"rules\": [").fileFault.isEmpty());
    EXPECT_FALSE(RuleSet::parse("[]").fileFault.isEmpty());
}

TEST(RulesText, WhatIsSerializedReadsBackTheSame)
{
    const QByteArray example = R"({"rules": [{"name": "router down", "enabled": true, "cooldown": 60, "when":
        {"severity_max": 3, "facility": 23, "address": "10.0.0.0/8", "host": "sw1", "app": "kernel",
         "contains": "DOWN", "case_sensitive": false, "regex": "(?i)link (\\S+) down"},
        "actions": [{"notify": true}, {"run": ["/usr/local/bin/page", "--team", "net"], "timeout": 10},
                    {"mail": "ops@example.org"}, {"forward": "udp://10.0.0.5:514"}, {"colour": "#c00000"}]},
        {"name": "quiet \"one\"", "enabled": false, "cooldown": 0, "actions": [{"run": ["/bin/true"]}]}]})";
    const ParsedRules parsed = RuleSet::parse(example);
    ASSERT_TRUE(parsed.ok());
    ASSERT_EQ(parsed.rules.size(), 2);
    const Rule& rule = parsed.rules[0];
    EXPECT_EQ(rule.when.severityMax, 3);
    EXPECT_FALSE(rule.when.caseSensitive);
    EXPECT_EQ(rule.actions.size(), 5);
    EXPECT_EQ(rule.actions[1].command, (QStringList{u"/usr/local/bin/page"_s, u"--team"_s, u"net"_s}));
    EXPECT_EQ(rule.actions[1].timeoutSeconds, 10);
    EXPECT_EQ(rule.colour(), 0xc00000u);

    const ParsedRules again = RuleSet::parse(RuleSet::serialize(parsed.rules));
    EXPECT_TRUE(again.ok());
    EXPECT_EQ(again.rules, parsed.rules);
}

TEST(RuleColours, FirstEnabledMatchingRuleWithAColourAndNothingCounted)
{
    const ParsedRules parsed = RuleSet::parse(R"({"rules": [
        {"name": "off", "enabled": false, "actions": [{"colour": "#111111"}]},
        {"name": "no colour", "actions": [{"notify": true}]},
        {"name": "other host", "when": {"host": "sw9"}, "actions": [{"colour": "#222222"}]},
        {"name": "errors", "when": {"severity_max": 3}, "actions": [{"notify": true}, {"colour": "#c00"}]},
        {"name": "everything", "actions": [{"colour": "#333333"}]}]})");
    ASSERT_TRUE(parsed.ok());
    const RuleColours colours(parsed.rules);
    EXPECT_EQ(colours.colourFor(routerRecord()), 0xcc0000u);
    LogRecord debug = routerRecord();
    debug.fields.severity = 7;
    EXPECT_EQ(colours.colourFor(debug), 0x333333u);

    FakeClock clock;
    int fired = 0;
    RuleEngine engine(clock, [&](const Rule&, const RuleFiring&) { ++fired; });
    engine.setRules(parsed.rules);
    (void)RuleColours(engine.rules()).colourFor(routerRecord());
    for (const RuleCounter& counter : engine.counters())
        EXPECT_EQ(counter.matched, 0) << counter.name.toStdString();
    EXPECT_EQ(fired, 0);
}

TEST(RuleCooldown, FiresOncePerCooldownAndHandsWhatItHeldToTheNextFiring)
{
    const ParsedRules parsed = RuleSet::parse(R"({"rules": [
        {"name": "errors", "cooldown": 60, "when": {"severity_max": 3}, "actions": [{"notify": true}]}]})");
    FakeClock clock(QDateTime(QDate(2026, 12, 7), QTime(12, 0, 5)));
    QList<RuleFiring> firings;
    RuleEngine engine(clock, [&](const Rule&, const RuleFiring& firing) { firings << firing; });
    engine.setRules(parsed.rules);

    engine.offer(routerRecord());
    ASSERT_EQ(firings.size(), 1);
    EXPECT_EQ(firings[0].held, 0);
    EXPECT_TRUE(firings[0].heldText().isEmpty());
    for (int i = 0; i < 37; ++i) {
        clock.advanceSeconds(1);
        engine.offer(routerRecord());
    }
    LogRecord notMatching = routerRecord();
    notMatching.fields.severity = 6;
    engine.offer(notMatching);
    EXPECT_EQ(firings.size(), 1);
    EXPECT_EQ(engine.counters().value(0), (RuleCounter{u"errors"_s, 38, 1, 37}));

    // The file read again keeps the rule's cooldown and counts.
    engine.setRules(parsed.rules);
    clock.advanceSeconds(22); // 59 s after the firing
    engine.offer(routerRecord());
    EXPECT_EQ(firings.size(), 1);
    clock.advanceSeconds(1);
    engine.offer(routerRecord());
    ASSERT_EQ(firings.size(), 2);
    EXPECT_EQ(firings[1].held, 38);
    EXPECT_EQ(firings[1].heldText(), u" and 38 more since 12:00:05"_s);
    EXPECT_EQ(engine.counters().value(0), (RuleCounter{u"errors"_s, 40, 2, 0}));
}

// On a thread of its own: what waits is bounded (the rest is counted, not
// tested), and a firing reaches the caller's thread after counters that hold it.
TEST(RuleMatching, OnItsOwnThreadTestsWhatFitsCountsTheRestAndTellsFiringsBack)
{
    const ParsedRules parsed = RuleSet::parse(R"({"rules": [
        {"name": "errors", "cooldown": 60, "when": {"severity_max": 3}, "actions": [{"notify": true}]}]})");
    FakeClock clock(QDateTime(QDate(2026, 12, 7), QTime(12, 0, 5)));
    RuleMatching matching(clock, RuleMatching::Threading::OwnThread, /* batch */ 100, /* capacity */ 3);
    matching.setRules(parsed.rules);
    QSignalSpy fired(&matching, &RuleMatching::fired);
    QList<RuleCounter> countersAtFiring;
    QObject::connect(&matching, &RuleMatching::fired, [&] { countersAtFiring = matching.counters(); });

    for (int i = 0; i < 5; ++i)
        matching.offer(routerRecord());
    EXPECT_EQ(matching.untested(), 2);
    ASSERT_TRUE(fired.wait(10000));
    const RuleFiring first = fired[0][1].value<RuleFiring>();
    EXPECT_EQ(first.rule, u"errors"_s);
    // The record comes back whole, null texts null.
    EXPECT_EQ(logLine(first.record), logLine(routerRecord()));
    EXPECT_EQ(first.record.fields, routerRecord().fields);
    EXPECT_TRUE(first.record.fields.procid.isNull());
    EXPECT_EQ(countersAtFiring.value(0), (RuleCounter{u"errors"_s, 3, 1, 2}));

    // Room again once the batch was tested; the cooldown goes by the time of hand-over.
    clock.advanceSeconds(60);
    matching.offer(routerRecord());
    matching.finish();
    EXPECT_EQ(matching.counters().value(0), (RuleCounter{u"errors"_s, 4, 2, 0}));
    EXPECT_EQ(matching.untested(), 2);
    ASSERT_TRUE(fired.wait(10000));
    EXPECT_EQ(fired[1][1].value<RuleFiring>().held, 2);

    // However few the records, their texts waiting are bounded too.
    LogRecord huge = routerRecord();
    huge.message = QString(RuleMatching::kCapacityChars, u'x');
    matching.offer(huge);
    matching.offer(routerRecord());
    EXPECT_EQ(matching.untested(), 3);
}
