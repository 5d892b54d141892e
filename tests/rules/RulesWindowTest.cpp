#include "platform/ui/ExtentListWidget.h"
#include "platform/ui/LogLineDelegate.h"
#include "rules/RuleMatcher.h"
#include "rules/RulesFile.h"
#include "rules/ui/RulesWindow.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class RulesWindowTest : public ::testing::Test {
protected:
    QString path() const { return QDir(dir_.path()).filePath(RuleSet::fileName()); }

    static Rule rule(const QString& name, const QString& contains, const QString& colour = {})
    {
        Rule made;
        made.name = name;
        made.when.contains = contains;
        made.actions << RuleAction{RuleAction::Kind::Notify, {}, 30, {}};
        if (!colour.isEmpty())
            made.actions << RuleAction{RuleAction::Kind::Colour, {}, 30, colour};
        return made;
    }

    template <typename T> T* child(RulesWindow& window, const char* name)
    {
        T* found = window.findChild<T*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    QTemporaryDir dir_;
};

} // namespace

TEST_F(RulesWindowTest, RuleAddedInTheFormIsSavedToTheFileAndABadOneIsRefusedWithTheReason)
{
    RulesWindow window(path());
    window.addRule();
    child<QLineEdit>(window, "ruleName")->setText(QStringLiteral("link down"));
    child<QLineEdit>(window, "ruleContains")->setText(QStringLiteral("DOWN"));
    child<QLineEdit>(window, "ruleAddress")->setText(QStringLiteral("10.0.0.0/8"));
    child<QLineEdit>(window, "ruleColour")->setText(QStringLiteral("#c00000"));
    QTest::mouseClick(child<QPushButton>(window, "applyButton"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>(window, "saveButton"), Qt::LeftButton);

    const ParsedRules saved = RulesFile::read(path());
    ASSERT_TRUE(saved.ok());
    ASSERT_EQ(saved.rules.size(), 1);
    EXPECT_EQ(saved.rules[0].name, QStringLiteral("link down"));
    EXPECT_EQ(saved.rules[0].when.address, QStringLiteral("10.0.0.0/8"));
    EXPECT_EQ(saved.rules[0].colour(), std::optional<quint32>(0xC00000));

    // A network that is none: the rule stays as it was, the fault is shown.
    child<QLineEdit>(window, "ruleAddress")->setText(QStringLiteral("10.0.0.0/99"));
    EXPECT_FALSE(window.applyForm());
    EXPECT_FALSE(child<QLabel>(window, "formFault")->text().isEmpty());
    EXPECT_EQ(window.rules()[0].when.address, QStringLiteral("10.0.0.0/8"));

    // A file that cannot be written says why.
    RulesWindow nowhere(QDir(dir_.path()).filePath(QStringLiteral("missing/rules.json")));
    nowhere.addRule();
    EXPECT_FALSE(nowhere.save());
    EXPECT_TRUE(nowhere.statusText().contains(QStringLiteral("missing/rules.json")));
}

TEST_F(RulesWindowTest, TheTableSwitchesARuleOffAndOnAndShowsTheReceiversCounters)
{
    ASSERT_TRUE(RulesFile::write(path(), {rule(QStringLiteral("a"), QStringLiteral("x")),
                                          rule(QStringLiteral("b"), QStringLiteral("y"))}));
    RulesWindow window(path());
    auto* table = child<QTableWidget>(window, "rulesTable");
    ASSERT_EQ(table->rowCount(), 2);
    table->item(1, 0)->setCheckState(Qt::Unchecked);
    ASSERT_TRUE(window.save());
    ParsedRules saved = RulesFile::read(path());
    ASSERT_EQ(saved.rules.size(), 2);
    EXPECT_TRUE(saved.rules[0].enabled);
    EXPECT_FALSE(saved.rules[1].enabled);

    table->item(1, 0)->setCheckState(Qt::Checked);
    ASSERT_TRUE(window.save());
    EXPECT_TRUE(RulesFile::read(path()).rules[1].enabled);

    RulesState state;
    state.counters << RuleCounter{QStringLiteral("b"), 7, 2, 5};
    window.showState(state);
    EXPECT_EQ(table->item(1, 2)->text(), QStringLiteral("7"));
    EXPECT_EQ(table->item(1, 3)->text(), QStringLiteral("2"));
    EXPECT_EQ(table->item(0, 2)->text(), QStringLiteral("0"));
}

TEST_F(RulesWindowTest, APastedLineIsReadAsTheIntakeReadsItAndEachRuleSaysWhetherItMatches)
{
    Rule byHost = rule(QStringLiteral("switch"), {});
    byHost.when.host = QStringLiteral("sw1");
    byHost.when.severityMax = 3;
    Rule byNetwork = rule(QStringLiteral("lab"), QStringLiteral("link"));
    byNetwork.when.address = QStringLiteral("192.168.0.0/16");
    ASSERT_TRUE(RulesFile::write(path(), {byHost, byNetwork}));
    RulesWindow window(path());
    child<QPlainTextEdit>(window, "sampleMessage")
        ->setPlainText(QStringLiteral("<11>Dec  8 02:00:00 sw1 kernel: link down\n"));
    child<QLineEdit>(window, "sampleAddress")->setText(QStringLiteral("10.0.0.5"));

    const QStringList result = window.testMessage().split(QLatin1Char('\n'));
    EXPECT_EQ(result, QStringList({QStringLiteral("switch: matches"), QStringLiteral("lab: does not match")}));

    child<QLineEdit>(window, "sampleAddress")->setText(QStringLiteral("192.168.3.4"));
    child<QPlainTextEdit>(window, "sampleMessage")->setPlainText(QStringLiteral("<14>Dec  8 02:00:00 sw1 kernel: link up"));
    EXPECT_EQ(window.testMessage().split(QLatin1Char('\n')),
              QStringList({QStringLiteral("switch: does not match"), QStringLiteral("lab: matches")}));
}

TEST_F(RulesWindowTest, TheMainListDrawsALineARuleColoursInTheRulesColourAheadOfItsSeverity)
{
    Rule disabled = rule(QStringLiteral("off"), QStringLiteral("DOWN"), QStringLiteral("#0000ff"));
    disabled.enabled = false;
    const RuleColours colours(
        {disabled, rule(QStringLiteral("down"), QStringLiteral("DOWN"), QStringLiteral("#008000"))});
    LogFields error;
    error.severity = 3;
    const LogRecord matching(QStringLiteral("2026-12-08 02:00:00"), QStringLiteral("10.0.0.5"),
                             QStringLiteral("eth0 DOWN"), error);
    const LogRecord other(QStringLiteral("2026-12-08 02:00:01"), QStringLiteral("10.0.0.5"),
                          QStringLiteral("eth0 up"), error);

    ExtentListWidget list;
    for (const LogRecord& record : {matching, other}) {
        auto* line = new QListWidgetItem(logLine(record));
        line->setData(kSyslogSeverityRole, record.fields.severity);
        setRuleColour(*line, record, colours);
        list.addItem(line);
    }
    auto textColour = [&list](int row) {
        QStyleOptionViewItem option;
        option.initFrom(list.viewport());
        auto* delegate = static_cast<LogLineDelegate*>(list.itemDelegate());
        delegate->initStyleOption(&option, list.model()->index(row, 0));
        return option.palette.color(QPalette::Active, QPalette::Text);
    };
    EXPECT_EQ(textColour(0), QColor(0x00, 0x80, 0x00));
    EXPECT_EQ(textColour(1), *severityTextColour(LineSeverity::Error, list.palette().color(QPalette::Base)));
}
