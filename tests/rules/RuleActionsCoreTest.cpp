// The actions of a firing rule, carried out for real: a program through
// /bin/sh, mail to an SMTP listener of the test's own.
#include "rules/RuleActions.h"
#include "tests/support/Fakes.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

RuleFiring routerFiring()
{
    LogFields fields;
    fields.facility = 23;
    fields.severity = 3;
    fields.host = u"sw1"_s;
    fields.app = u"kernel"_s;
    fields.head = u"2026-12-07T12:00:00Z"_s;
    fields.msgPos = 33;
    const LogRecord record(u"2026-12-07 12:00:42"_s, u"10.1.2.3"_s, u"sw1 kernel: link eth0 DOWN"_s, fields);
    return RuleFiring{u"router down"_s, record, 37, QDateTime(QDate(2026, 12, 7), QTime(12, 0, 5))};
}

Rule ruleDoing(const QList<RuleAction>& actions)
{
    Rule rule;
    rule.name = u"router down"_s;
    rule.actions = actions;
    return rule;
}

RuleAction runAction(const QString& script, int timeoutSeconds = 30)
{
    return RuleAction{RuleAction::Kind::Run, {u"/bin/sh"_s, u"-c"_s, script}, timeoutSeconds, {}};
}

// Waits for `count` more actions to end; their lines, failures marked "failed: ".
QStringList waitForActions(QSignalSpy& finished, int count)
{
    while (finished.size() < count)
        if (!finished.wait(15000))
            break;
    QStringList lines;
    for (const QList<QVariant>& call : std::as_const(finished))
        lines << (call[0].toBool() ? QString() : u"failed: "_s) + call[1].toString();
    return lines;
}

} // namespace

TEST(RuleRunAction, TheProgramGetsTheRecordAndFailuresAreToldWithStatusAndStandardError)
{
    QTemporaryDir dir;
    const QString out = QDir(dir.path()).filePath(u"env.txt"_s);
    RuleActions actions(nullptr);
    QSignalSpy finished(&actions, &RuleActions::finished);
    actions.submit(ruleDoing({runAction(u"env | grep ^KIV_ | sort > '%1'"_s.arg(out))}), routerFiring());
    ASSERT_EQ(waitForActions(finished, 1).value(0), u"rule \"router down\": the program /bin/sh ran"_s);
    QFile written(out);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(written.readAll()).split(u'\n', Qt::SkipEmptyParts),
              (QStringList{u"KIV_APP=kernel"_s, u"KIV_FACILITY=23"_s, u"KIV_HOST=sw1"_s, u"KIV_IP=10.1.2.3"_s,
                           u"KIV_MESSAGE=link eth0 DOWN"_s, u"KIV_RULE=router down"_s, u"KIV_SEVERITY=3"_s,
                           u"KIV_SUPPRESSED=37"_s, u"KIV_TIME=2026-12-07 12:00:42"_s}));

    finished.clear();
    actions.submit(ruleDoing({runAction(u"echo 'no pager here' >&2; exit 3"_s),
                              runAction(u"exec sleep 30"_s, 1),
                              RuleAction{RuleAction::Kind::Run, {dir.filePath(u"missing"_s)}, 30, {}}}),
                   routerFiring());
    QStringList lines = waitForActions(finished, 3);
    lines.sort();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], u"failed: rule \"router down\": the program /bin/sh ended with exit status 3; standard "
                        "error: no pager here"_s);
    EXPECT_EQ(lines[1], u"failed: rule \"router down\": the program /bin/sh was killed after 1 s"_s);
    EXPECT_TRUE(lines[2].startsWith(u"failed: rule \"router down\": the program %1 could not be started"_s.arg(
        dir.filePath(u"missing"_s))))
        << lines[2].toStdString();
    EXPECT_EQ(actions.failed(), 3);
}

TEST(RuleRunAction, BeyondItsCapacityAnActionIsDroppedAndCounted)
{
    RuleActions actions(nullptr, 2);
    QSignalSpy finished(&actions, &RuleActions::finished);
    const RuleAction quick = runAction(u"exit 0"_s);
    actions.submit(ruleDoing({quick, quick, quick, quick}), routerFiring());
    EXPECT_EQ(actions.dropped(), 2);
    EXPECT_EQ(waitForActions(finished, 2).size(), 2);
    EXPECT_EQ(actions.pending(), 0);
}

TEST(RuleMailAction, TheMailNamesTheRuleTheRecordAndWhatTheCooldownHeldBack)
{
    // Just enough SMTP: greeting, EHLO, MAIL, RCPT, DATA up to the lone dot, QUIT.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    QByteArray conversation;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        QTcpSocket* client = server.nextPendingConnection();
        client->write("220 test ESMTP\r\n");
        auto inData = std::make_shared<bool>(false);
        QObject::connect(client, &QTcpSocket::readyRead, client, [client, inData, &conversation] {
            while (client->canReadLine()) {
                const QByteArray line = client->readLine();
                conversation += line;
                if (*inData) {
                    if (line == ".\r\n") {
                        *inData = false;
                        client->write("250 queued\r\n");
                    }
                } else if (line.startsWith("EHLO")) {
                    client->write("250-test\r\n250 8BITMIME\r\n");
                } else if (line.startsWith("DATA")) {
                    *inData = true;
                    client->write("354 go on\r\n");
                } else if (line.startsWith("QUIT")) {
                    client->write("221 bye\r\n");
                    client->disconnectFromHost();
                } else {
                    client->write("250 ok\r\n");
                }
            }
        });
    });
    FakeSettingsStore settings;
    settings.values = {{u"smtphost"_s, u"127.0.0.1"_s},
                       {u"smtpport"_s, QString::number(server.serverPort())},
                       {u"smtpsecurity"_s, u"none"_s},
                       {u"smtpfrom"_s, u"syslog@example.org"_s}};
    RuleActions actions(&settings);
    QSignalSpy finished(&actions, &RuleActions::finished);
    RuleFiring firing = routerFiring();
    firing.record.message = u"sw1 kernel: link eth0 DOWN\n.hidden line"_s;
    actions.submit(ruleDoing({RuleAction{RuleAction::Kind::Mail, {}, 30, u"ops@example.org"_s}}), firing);
    ASSERT_EQ(waitForActions(finished, 1).value(0), u"rule \"router down\": the mail to ops@example.org was sent"_s);

    EXPECT_TRUE(conversation.contains("MAIL FROM:<syslog@example.org>\r\nRCPT TO:<ops@example.org>\r\nDATA\r\n"));
    // The subject stays one line whatever the message holds.
    EXPECT_TRUE(conversation.contains("Subject: [kiv-syslog] router down: 2026-12-07T12:00:00Z sw1 kernel: link "
                                      "eth0 DOWN .hidden line and 37 more since 12:00:05\r\n"))
        << conversation.constData();
    EXPECT_TRUE(conversation.contains("The rule \"router down\" fired for this record and 37 more since 12:00:05."));
    EXPECT_TRUE(conversation.contains("Sender:   10.1.2.3\r\n"));
    // A line of the message starting with a dot is sent with the dot doubled.
    EXPECT_TRUE(conversation.contains("\r\n..hidden line\r\n.\r\nQUIT"));

    settings.values[u"smtpsecurity"_s] = u"ssl3"_s;
    finished.clear();
    actions.submit(ruleDoing({RuleAction{RuleAction::Kind::Mail, {}, 30, u"ops@example.org"_s}}), firing);
    EXPECT_EQ(waitForActions(finished, 1).value(0), u"failed: rule \"router down\": the mail to ops@example.org was "
                                                    "not sent: smtpsecurity=ssl3 is none of starttls, tls and none"_s);
}

TEST(RuleForwardAction, TheRecordGoesToTheDestinationWithItsPriority)
{
    QUdpSocket collector;
    ASSERT_TRUE(collector.bind(QHostAddress::LocalHost));
    const QString destination = u"udp://127.0.0.1:%1"_s.arg(collector.localPort());
    RuleActions actions(nullptr);
    actions.submit(ruleDoing({RuleAction{RuleAction::Kind::Forward, {}, 30, destination}}), routerFiring());
    ASSERT_TRUE(QTest::qWaitFor([&] { return collector.hasPendingDatagrams(); }, 10000));
    EXPECT_EQ(collector.receiveDatagram().data(), "<187>2026-12-07T12:00:00Z sw1 kernel: link eth0 DOWN");
    ASSERT_EQ(actions.forwardStatus().size(), 1);
    EXPECT_EQ(actions.forwardStatus()[0].destination, destination);
}
