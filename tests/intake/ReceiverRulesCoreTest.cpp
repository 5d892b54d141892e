// The receiver's rules: read from its directory at the start and again when
// the file changes; a broken rule is told once and the others work.
#include "intake/ReceiverCore.h"
#include "platform/SqliteEngine.h"
#include "rules/RulesFile.h"
#include "tests/support/FakeUdpSocket.h"
#include "tests/support/Fakes.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

class ReceiverRules : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        socket_.setLocalPort(514);
        ASSERT_TRUE(socket_.bind());
        core_.setFilterEnabled(0); // every message is kept
    }
    // Replaces the file as an editor does.
    void writeRules(const QByteArray& text)
    {
        QSaveFile file(rulesPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        ASSERT_TRUE(file.commit());
    }
    QString rulesPath() const { return QDir(dir_.path()).filePath(u"rules.json"_s); }
    QStringList firedRules(const QSignalSpy& fired) const
    {
        QStringList names;
        for (const QList<QVariant>& call : fired)
            names << call[0].value<RuleFiring>().rule;
        return names;
    }

    QTemporaryDir dir_;
    FakeClock clock_;
    FakeUdpSocket socket_;
    SqliteEngine readEngine_{2000};
    SqliteEngine writeEngine_{50};
    FakeSettingsStore settings_;
    ReceiverCore core_{CoreServices{clock_, readEngine_, writeEngine_,
                                    [this] { return std::make_unique<FakeSocketView>(socket_); },
                                    [](int) { return std::unique_ptr<Timer>(new FakeTimer); }, dir_.path(),
                                    &settings_}};
};

const QByteArray kGoodAndBroken = R"({"rules": [
    {"name": "errors", "cooldown": 0, "when": {"severity_max": 3}, "actions": [{"notify": true}]},
    {"name": "typo", "when": {"severity": 3}, "actions": [{"notify": true}]},
    {"name": "from sw1", "cooldown": 0, "when": {"host": "sw1"}, "actions": [{"notify": true}, {"colour": "#c00000"}]}
]})";

} // namespace

TEST_F(ReceiverRules, ABrokenRuleIsToldOnceNamingFileRuleAndReasonAndTheOthersWork)
{
    writeRules(kGoodAndBroken);
    QSignalSpy problems(&core_, &ReceiverCore::problemReported);
    QSignalSpy errors(&core_, &ReceiverCore::errorRaised);
    QSignalSpy fired(&core_, &ReceiverCore::ruleFired);
    core_.openDatabase();

    const QString file = QDir::toNativeSeparators(rulesPath());
    QStringList faultLines;
    for (const QList<QVariant>& call : std::as_const(problems))
        if (call[0].toString().contains(u"typo"_s))
            faultLines << call[0].toString();
    ASSERT_EQ(faultLines.size(), 1);
    EXPECT_EQ(faultLines[0], u"the rules file %1: rule 2 (\"typo\"): \"when\" has an unknown key \"severity\" "
                             "(known: severity_max, facility, address, host, app, contains, case_sensitive, regex); "
                             "that rule is left out, the others work"_s.arg(file));
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0][0].toString().contains(file));
    EXPECT_TRUE(errors[0][0].toString().contains(u"rule 2 (\"typo\")"_s));

    socket_.arrive("<11>Dec  7 12:00:00 sw1 kernel: link eth0 down");
    socket_.arrive("<14>Dec  7 12:00:00 sw2 kernel: link eth1 up");
    socket_.arrive("<9>Dec  7 12:00:00 sw2 kernel: fan failed");
    EXPECT_EQ(firedRules(fired), (QStringList{u"errors"_s, u"from sw1"_s, u"errors"_s}));
    const RulesState state = core_.rulesState();
    EXPECT_EQ(state.counters, (QList<RuleCounter>{{u"errors"_s, 2, 2, 0}, {u"from sw1"_s, 1, 1, 0}}));
    EXPECT_EQ(state.faults.size(), 1);

    // Read again with the same fault: not told again.
    problems.clear();
    core_.reloadRules();
    writeRules(kGoodAndBroken + " ");
    core_.reloadRules();
    EXPECT_EQ(errors.size(), 1);
    for (const QList<QVariant>& call : std::as_const(problems))
        EXPECT_FALSE(call[0].toString().contains(u"typo"_s)) << call[0].toString().toStdString();
}

TEST_F(ReceiverRules, ARulesFileChangedWhileRunningIsReadAgain)
{
    writeRules(R"({"rules": [{"name": "old", "actions": [{"notify": true}]}]})");
    core_.openDatabase();
    QSignalSpy changed(&core_, &ReceiverCore::rulesChanged);
    QSignalSpy fired(&core_, &ReceiverCore::ruleFired);

    writeRules(R"({"rules": [{"name": "new", "when": {"contains": "DOWN"}, "actions": [{"notify": true}]}]})");
    ASSERT_TRUE(changed.wait(10000));
    const RulesState state = changed.last()[0].value<RulesState>();
    ASSERT_EQ(state.counters.size(), 1);
    EXPECT_EQ(state.counters[0].name, u"new"_s);

    socket_.arrive("<14>sw1 kernel: link eth0 up");
    socket_.arrive("<14>sw1 kernel: link eth0 DOWN");
    EXPECT_EQ(firedRules(fired), QStringList{u"new"_s});

    // Written in place rather than replaced, and then removed.
    changed.clear();
    QFile inPlace(rulesPath());
    ASSERT_TRUE(inPlace.open(QIODevice::WriteOnly | QIODevice::Truncate));
    inPlace.write(R"({"rules": [{"name": "in place", "actions": [{"notify": true}]}]})");
    inPlace.close();
    ASSERT_TRUE(changed.wait(10000));
    EXPECT_EQ(changed.last()[0].value<RulesState>().counters.value(0).name, u"in place"_s);
    ASSERT_TRUE(QFile::remove(rulesPath()));
    ASSERT_TRUE(changed.wait(10000));
    EXPECT_TRUE(changed.last()[0].value<RulesState>().counters.isEmpty());
}

TEST_F(ReceiverRules, NotificationsBeyondTenASecondAreDroppedAndCounted)
{
    writeRules(R"({"rules": [{"name": "all", "cooldown": 0, "actions": [{"notify": true}]}]})");
    core_.openDatabase();
    QSignalSpy fired(&core_, &ReceiverCore::ruleFired);
    for (int i = 0; i < 12; ++i)
        socket_.arrive("<14>Dec  7 12:00:00 sw1 kernel: flood");
    core_.tick();
    socket_.arrive("<14>Dec  7 12:00:01 sw1 kernel: next second");
    EXPECT_EQ(fired.size(), 11);
    const RulesState state = core_.rulesState();
    EXPECT_EQ(state.counters.value(0).fired, 13);
    EXPECT_EQ(state.notificationsDropped, 2);
}
