// The receiver without any window, on a QCoreApplication: real UDP into a
// real database file.
#include "intake/DatagramIntake.h"
#include "intake/ReceiverThread.h"
#include "platform/QtUdpSocket.h"
#include "platform/SqliteEngine.h"
#include "store/LogDatabase.h"
#include "tests/support/FakeUdpSocket.h"
#include "tests/support/Fakes.h"
#include "tests/support/ForwardingConnection.h"
#include "tests/support/OnThread.h"
#include "tests/support/UdpPorts.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <gtest/gtest.h>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace {

std::unique_ptr<Timer> qtTimer(int intervalMs) { return std::make_unique<QtTimer>(intervalMs); }

// Messages of a day's table in ID order.
QStringList storedMessages(DbEngine& engine, const QString& dbPath, const QString& day)
{
    auto cursor = engine.open(dbPath)->query(
        QStringLiteral("SELECT \"信息\" FROM %1 ORDER BY \"ID\"").arg(quoteName(dayTableName(day))));
    QStringList messages;
    while (cursor->next())
        messages << cursor->text(QStringLiteral("信息")).value_or(QString());
    return messages;
}

QStringList recoveredLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"));
    lines.removeAll(QString());
    return lines;
}

// A receiver on a thread of its own with the real socket and store.
class ThreadedReceiver : public ::testing::Test {
protected:
    // Runs call on the receiver's thread.
    template <typename Call>
    auto core(Call call)
    {
        return onThreadOf(receiver_.core(), [this, &call] { return call(*receiver_.core()); });
    }
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        core([](ReceiverCore& c) { c.openDatabase(); });
        port_ = unusedUdpPort();
        ASSERT_TRUE(core([this](ReceiverCore& c) { return c.port().setLocalPort(port_); }));
        const Result<> bound = core([](ReceiverCore& c) { return c.port().bind(); });
        ASSERT_TRUE(bound) << bound.error().toStdString();
    }

    void send(const QByteArray& bytes)
    {
        ASSERT_EQ(sender_.writeDatagram(bytes, QHostAddress::LocalHost, quint16(port_)), bytes.size());
    }
    QString today() const { return clock_.now().toString(QStringLiteral("yyyy-MM-dd")); }
    QString dbPath() const { return QDir(dir_.path()).filePath(QStringLiteral("syslog.mdb")); }

    QTemporaryDir dir_;
    SystemClock clock_;
    SqliteEngine readEngine_{2000};
    SqliteEngine writeEngine_{250};
    ReceiverThread receiver_{CoreServices{clock_, readEngine_, writeEngine_,
                                          [] { return std::make_unique<QtUdpSocket>(); }, qtTimer, dir_.path()}};
    QUdpSocket sender_;
    int port_ = 0;
};

} // namespace

TEST_F(ThreadedReceiver, ABurstIsStoredWholeInTheOrderSent)
{
    constexpr int burst = 20000;
    for (int i = 0; i < burst; ++i)
        send(QByteArrayLiteral("<14>host info: burst ") + QByteArray::number(i));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return core([](ReceiverCore& c) { return c.datagramsRead(); }) >= burst; }, 20000));
    core([](ReceiverCore& c) { c.shutdown(); });

    const QStringList stored = storedMessages(readEngine_, dbPath(), today());
    ASSERT_EQ(stored.size(), burst);
    for (int i = 0; i < burst; ++i)
        ASSERT_EQ(stored[i], QStringLiteral("info: burst %1").arg(i));
    const StoreCounters counted = core([](ReceiverCore& c) { return c.storeCounters(); });
    EXPECT_EQ(counted.received, burst);
    EXPECT_EQ(counted.stored, burst);
}

TEST_F(ThreadedReceiver, HandedOverForCleaningTheFileIsFreeAndIntakeStopsUntilTakenBack)
{
    QSignalSpy shown(receiver_.core(), &ReceiverCore::recordToShow);
    send("<14>host info: before");
    // The line comes from the receiver's thread, maybe before a wait() could start.
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown.size() >= 1; }, 10000));

    core([](ReceiverCore& c) { c.handOverDatabase(); });
    EXPECT_FALSE(core([](ReceiverCore& c) { return c.port().isBound(); }));
    // Nobody holds the file: another program could lock it at once.
    auto other = readEngine_.open(dbPath());
    other->execute(QStringLiteral("BEGIN EXCLUSIVE"));
    other->execute(QStringLiteral("COMMIT"));
    send("<14>host info: while cleaning");

    core([](ReceiverCore& c) { c.takeBackDatabase(); });
    ASSERT_TRUE(core([](ReceiverCore& c) { return c.port().bind(); }));
    send("<14>host info: after");
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown.size() >= 2; }, 10000));
    core([](ReceiverCore& c) { c.shutdown(); });
    EXPECT_EQ(storedMessages(readEngine_, dbPath(), today()), (QStringList{u"info: before"_s, u"info: after"_s}));
}

// The write path over a fake socket on the test's thread, so the clock and
// the timers are stepped by hand.
class SteppedReceiver : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        core_.openDatabase();
        socket_.setLocalPort(514);
        ASSERT_TRUE(socket_.bind());
    }
    QString dbPath() const { return QDir(dir_.path()).filePath(QStringLiteral("syslog.mdb")); }
    ReceiverCore& core() { return core_; }

    QTemporaryDir dir_;
    FakeClock clock_;
    FakeUdpSocket socket_;
    SqliteEngine readEngine_{2000};
    SqliteEngine writeEngine_{50};
    FakeTimer* writeTimer_ = nullptr;
    FakeTimer* secondTimer_ = nullptr;
    FakeSettingsStore settings_;
    ReceiverCore core_{CoreServices{clock_, readEngine_, writeEngine_,
                                    [this] { return std::make_unique<FakeSocketView>(socket_); },
                                    [this](int intervalMs) {
                                        auto timer = std::make_unique<FakeTimer>();
                                        (intervalMs == 100 ? writeTimer_ : secondTimer_) = timer.get();
                                        return std::unique_ptr<Timer>(std::move(timer));
                                    },
                                    dir_.path(), &settings_}};
};

TEST_F(SteppedReceiver, ALockedDatabaseCostsNoRecordAndCountsEachOnceWhereverItWent)
{
    QSignalSpy problems(&core(), &ReceiverCore::problemReported);
    auto holder = readEngine_.open(dbPath());
    holder->execute(QStringLiteral("BEGIN EXCLUSIVE"));
    int sent = 0;
    for (int second = 0; second < 3; ++second, clock_.advanceSeconds(1)) {
        for (int i = 0; i < 40; ++i)
            socket_.arrive(QByteArrayLiteral("<14>host info: n") + QByteArray::number(sent++));
        writeTimer_->tick();
        secondTimer_->tick();
    }
    holder->execute(QStringLiteral("COMMIT"));
    clock_.advanceSeconds(1);
    for (int i = 0; i < 40; ++i)
        socket_.arrive(QByteArrayLiteral("<14>host info: n") + QByteArray::number(sent++));
    core().shutdown();

    QStringList everywhere = storedMessages(readEngine_, dbPath(), clock_.now().toString(QStringLiteral("yyyy-MM-dd")));
    const int inDatabase = int(everywhere.size());
    for (const QString& line : recoveredLines(core().recoveryLogPath()))
        everywhere << line.section(QLatin1Char(' '), 3);  // after the time and address
    std::sort(everywhere.begin(), everywhere.end());
    QStringList expected;
    for (int i = 0; i < sent; ++i)
        expected << QStringLiteral("info: n%1").arg(i);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(everywhere, expected); // each exactly once
    EXPECT_GE(inDatabase, 40);       // the database took records again after the lock

    const StoreCounters counted = core().storeCounters();
    EXPECT_EQ(counted.received, sent);
    EXPECT_EQ(counted.stored, inDatabase);
    EXPECT_EQ(counted.recovered, sent - inDatabase);
    // Told once a second while it lasted, not once a record.
    EXPECT_GE(problems.size(), 1);
    EXPECT_LE(problems.size(), 4);
    EXPECT_TRUE(problems.first().first().toString().contains(QStringLiteral("database is locked")));
}

TEST_F(SteppedReceiver, AFailureWhileAMessageIsHandledIsCountedToldOnceAndGivenInTheClosingLine)
{
    QSignalSpy problems(&core(), &ReceiverCore::problemReported);
    core().intake().setOnAccepted([](const QByteArray& bytes, const QString&, const QDateTime&) {
        if (bytes.contains("refused"))
            throw std::runtime_error("no room to forward");
    });
    socket_.arrive("<14>host info: refused");
    socket_.arrive("<14>host info: next");
    secondTimer_->tick();
    secondTimer_->tick();

    // Forwarding failed; the record is stored all the same.
    EXPECT_EQ(storedMessages(readEngine_, dbPath(), clock_.now().toString(QStringLiteral("yyyy-MM-dd"))),
              (QStringList{u"info: refused"_s, u"info: next"_s}));
    const QString counted = QStringLiteral("1 messages cut short by a failure (the last: no room to forward)");
    ASSERT_EQ(problems.size(), 1);
    EXPECT_TRUE(problems[0][0].toString().contains(counted)) << problems[0][0].toString().toStdString();
    EXPECT_TRUE(core().summaryLine().contains(counted));
}

// Real senders end their messages with LF, CR LF or NUL: rsyslog's RFC 5424
// template over UDP, syslog-ng's syslog() and network(udp) destinations,
// Python's SysLogHandler. Those ends are no part of the message, neither
// stored nor forwarded; inside a message they stay.
TEST_F(SteppedReceiver, LineEndsAtTheEndOfAMessageAreLeftOutAndInsideItTheyStay)
{
    QList<QByteArray> forwarded;
    core().intake().setOnAccepted(
        [&](const QByteArray& bytes, const QString&, const QDateTime&) { forwarded << bytes; });
    const QByteArray sent[] = {
        "<156>1 2026-12-07T18:40:57+00:00 vm myapp 9289 - -  via rsyslog from 3164 warning\n",
        "<156>1 2026-12-07T18:41:41+00:00 vm myapp 9974 - - via syslog-ng from 3164 warning\n",
        "<156>Dec  7 18:41:41 vm myapp[9974]: via syslog-ng network warning\n",
        QByteArray("<12>python default warning\0", 27),
        QByteArray("<13>host app: info one\r\ntwo\0three\r\n\0\r", 37),
    };
    for (const QByteArray& bytes : sent)
        socket_.arrive(bytes);

    EXPECT_EQ(storedMessages(readEngine_, dbPath(), clock_.now().toString(QStringLiteral("yyyy-MM-dd"))),
              (QStringList{u"2026-12-07T18:40:57+00:00 vm myapp 9289 - -  via rsyslog from 3164 warning"_s,
                           u"2026-12-07T18:41:41+00:00 vm myapp 9974 - - via syslog-ng from 3164 warning"_s,
                           u" 7 18:41:41 vm myapp[9974]: via syslog-ng network warning"_s,
                           u"default warning"_s, u"app: info one\r\ntwo\u2400three"_s}));
    ASSERT_EQ(forwarded.size(), 5);
    EXPECT_EQ(forwarded[3], QByteArray("<12>python default warning"));
    EXPECT_EQ(forwarded[4], QByteArray("<13>host app: info one\r\ntwo\0three", 33));
}

// Fields of a day's table in ID order, one line a record, NULL shown as ~;
// the last part is the message part rebuilt as the README tells sqlite3 users.
QStringList storedFields(DbEngine& engine, const QString& dbPath, const QString& day)
{
    auto cursor = engine.open(dbPath)->query(
        QStringLiteral("SELECT facility, severity, host, app, procid, msgid, timestamp, sd, head, msgpos, "
                       "substr(coalesce(head || ' ' || \"信息\", \"信息\"), msgpos + 1) AS msg FROM %1 ORDER BY ID")
            .arg(quoteName(dayTableName(day))));
    QStringList rows;
    while (cursor->next()) {
        QStringList parts;
        for (const char* column :
             {"facility", "severity", "host", "app", "procid", "msgid", "timestamp", "sd", "head", "msgpos", "msg"})
            parts << cursor->text(QString::fromLatin1(column)).value_or(u"~"_s);
        rows << parts.join(u'|');
    }
    return rows;
}

// Messages as real senders put them on the wire: logger --rfc3164 and
// --rfc5424, rsyslog's RFC 5424 template, syslog-ng's network(), Python's
// SysLogHandler, a device without a header, Cisco IOS, one without a
// priority and one without a blank. The specified columns keep what they
// always held; beside them the fields, and nothing of the text is lost.
TEST_F(SteppedReceiver, TheFieldsOfEachFormatAreStoredBesideTheSpecifiedColumns)
{
    core().intake().setFilterEnabled(0);
    socket_.arrive("<36>Dec  7 22:59:12 vm sshd[11272]: warning: logger 3164");
    socket_.arrive("<131>1 2026-12-07T22:59:12.908365+00:00 vm myapp - ID47 [timeQuality tzKnown=\"1\" "
                   "isSynced=\"0\"][exampleSDID@32473 iut=\"3\"] error: logger 5424");
    socket_.arrive("<156>1 2026-12-07T18:40:57+00:00 vm myapp 9289 - -  via rsyslog\n");
    socket_.arrive("<156>Dec  7 18:41:41 vm myapp[9974]: via syslog-ng network\n");
    socket_.arrive(QByteArray("<12>python warning\0", 19));
    socket_.arrive("<14>info: disk ok");
    socket_.arrive("<189>123: *Mar  1 00:00:00.000: %LINK-3-UPDOWN: Interface Gi0/1, changed state to up");
    socket_.arrive("info: no pri at all");
    socket_.arrive("<14>info:ok");
    const QString day = clock_.now().toString(QStringLiteral("yyyy-MM-dd"));

    EXPECT_EQ(storedMessages(readEngine_, dbPath(), day),
              (QStringList{u" 7 22:59:12 vm sshd[11272]: warning: logger 3164"_s,
                           u"2026-12-07T22:59:12.908365+00:00 vm myapp - ID47 [timeQuality tzKnown=\"1\" "
                           "isSynced=\"0\"][exampleSDID@32473 iut=\"3\"] error: logger 5424"_s,
                           u"2026-12-07T18:40:57+00:00 vm myapp 9289 - -  via rsyslog"_s,
                           u" 7 18:41:41 vm myapp[9974]: via syslog-ng network"_s, u"warning"_s, u"disk ok"_s,
                           u"*Mar  1 00:00:00.000: %LINK-3-UPDOWN: Interface Gi0/1, changed state to up"_s,
                           u"no pri at all"_s, u"<14>info:ok"_s}));
    const QStringList fields = storedFields(readEngine_, dbPath(), day);
    EXPECT_EQ(fields,
              (QStringList{
                  u"4|4|vm|sshd|11272|~|2026-12-07T22:59:12|~|Dec|32|warning: logger 3164"_s,
                  u"16|3|vm|myapp|~|ID47|2026-12-07T22:59:12.908365+00:00|[timeQuality tzKnown=\"1\" "
                  "isSynced=\"0\"][exampleSDID@32473 iut=\"3\"]|1|117|error: logger 5424"_s,
                  u"19|4|vm|myapp|9289|~|2026-12-07T18:40:57+00:00|~|1|46| via rsyslog"_s,
                  u"19|4|vm|myapp|9974|~|2026-12-07T18:41:41|~|Dec|32|via syslog-ng network"_s,
                  u"1|4|~|~|~|~|~|~|python|0|python warning"_s,
                  u"1|6|~|info|~|~|~|~|info:|6|disk ok"_s,
                  u"23|5|~|%LINK-3-UPDOWN|~|~|2027-03-01T00:00:00.000|~|123:|43|Interface Gi0/1, changed state to up"_s,
                  u"~|~|~|~|~|~|~|~|info:|0|info: no pri at all"_s,
                  u"1|6|~|~|~|~|~|~|~|4|info:ok"_s,
              }))
        << fields.join(u'\n').toStdString();
}

// A day's table made by an earlier version (which kept no fields) is written
// as that version wrote it: its columns are not changed.
TEST_F(SteppedReceiver, ATableOfTodayMadeByAnEarlierVersionTakesRecordsWithoutFields)
{
    clock_.advanceSeconds(24 * 3600);
    const QString day = clock_.now().toString(QStringLiteral("yyyy-MM-dd"));
    readEngine_.open(dbPath())->execute(
        QStringLiteral("CREATE TABLE %1 (\"ID\" INTEGER NOT NULL, \"时间\" TEXT CHECK (length(\"时间\") <= 24), "
                       "\"IP地址\" TEXT CHECK (length(\"IP地址\") <= 16), \"信息\" TEXT, "
                       "CONSTRAINT \"PrimaryKey\" PRIMARY KEY (\"ID\"))")
            .arg(quoteName(dayTableName(day))));
    socket_.arrive("<14>host info: into an old table");

    EXPECT_EQ(storedMessages(readEngine_, dbPath(), day), QStringList{u"info: into an old table"_s});
    auto connection = readEngine_.open(dbPath());
    EXPECT_FALSE(holdsFieldColumns(*connection, dayTableName(day)));
    EXPECT_EQ(core().storeCounters().stored, 1);
}

// A table of today made before IPv6 senders were received limits addresses
// to 16 characters: the first IPv6 sender widens it, keeping every row and
// its ID; IPv4 senders alone leave it as it is, and so are the other days.
TEST_F(SteppedReceiver, AnIpv6SenderWidensTodaysOldTableKeepingEveryRow)
{
    clock_.advanceSeconds(24 * 3600);
    const QString day = clock_.now().toString(QStringLiteral("yyyy-MM-dd"));
    const QString earlier = clock_.now().addDays(-2).toString(QStringLiteral("yyyy-MM-dd"));
    const QString oldTable = QStringLiteral("CREATE TABLE %1 (\"ID\" INTEGER NOT NULL, \"时间\" TEXT CHECK (length(\"时间\") <= 24), "
                                            "\"IP地址\" TEXT CHECK (length(\"IP地址\") <= 16), \"信息\" TEXT, "
                                            "CONSTRAINT \"PrimaryKey\" PRIMARY KEY (\"ID\"))");
    {
        auto connection = readEngine_.open(dbPath());
        connection->execute(oldTable.arg(quoteName(dayTableName(day))));
        connection->execute(oldTable.arg(quoteName(dayTableName(earlier))));
        // A gap in the IDs, which the rebuilt table keeps.
        connection->execute(QStringLiteral("INSERT INTO %1 VALUES (7, 't', '10.0.0.1', 'info: before')")
                                .arg(quoteName(dayTableName(day))));
    }
    socket_.arrive("<14>host info: from v4", u"192.168.1.20"_s);
    EXPECT_TRUE(holdsNarrowAddressCheck(*readEngine_.open(dbPath()), dayTableName(day)));
    const QString longest = u"2001:db8:1234:5678:9abc:def0:1234:5678"_s;
    socket_.arrive("<14>host info: from v6", longest);
    socket_.arrive("<14>host info: after", u"::1"_s);

    auto connection = readEngine_.open(dbPath());
    auto rows = connection->query(QStringLiteral("SELECT * FROM %1 ORDER BY ID").arg(quoteName(dayTableName(day))));
    QStringList seen;
    while (rows->next())
        seen << *rows->text(u"ID"_s) + u' ' + *rows->text(u"IP地址"_s) + u' ' + *rows->text(u"信息"_s);
    EXPECT_EQ(seen, (QStringList{u"7 10.0.0.1 info: before"_s, u"8 192.168.1.20 info: from v4"_s,
                                 u"9 "_s + longest + u" info: from v6"_s, u"10 ::1 info: after"_s}));
    EXPECT_FALSE(holdsNarrowAddressCheck(*connection, dayTableName(day)));
    EXPECT_TRUE(holdsNarrowAddressCheck(*connection, dayTableName(earlier)));
    EXPECT_EQ(core().storeCounters().stored, 3);
    EXPECT_EQ(core().storeCounters().recovered, 0);
}

// The main list is told of a record once it is stored, with its ID and
// fields; one the database refused went to the recovery file and has no ID.
TEST_F(SteppedReceiver, ARecordIsShownWithItsIdOnceStoredAndWithoutOneFromTheRecoveryFile)
{
    QSignalSpy shown(&core(), &ReceiverCore::recordToShow);
    socket_.arrive("<14>app: info first");
    socket_.arrive("<14>app: info first");
    auto holder = readEngine_.open(dbPath());
    holder->execute(QStringLiteral("BEGIN EXCLUSIVE"));
    socket_.arrive("<11>host app: error refused");
    holder->execute(QStringLiteral("COMMIT"));

    ASSERT_EQ(shown.size(), 3);
    const auto record = [&](int i) { return shown[i][0].value<LogRecord>(); };
    EXPECT_EQ(record(0).id, 1);
    EXPECT_EQ(record(1).id, 2);
    EXPECT_EQ(record(1).message, u"info first"_s);
    EXPECT_EQ(record(1).fields.app, u"app"_s);
    EXPECT_EQ(record(2).id, 0);
    EXPECT_EQ(record(2).fields.severity, 3);
    EXPECT_EQ(core().storeCounters().recovered, 1);
}

// minseverity keeps messages up to that severity number and those without a
// priority; the others are rejected, counted and kept for the filtered-messages
// window like the word filter's. A value that is no severity is told and ignored.
TEST_F(SteppedReceiver, TheSeverityFilterRejectsLessUrgentMessagesAndCountsThem)
{
    QSignalSpy seconds(&core(), &ReceiverCore::secondElapsed);
    QSignalSpy problems(&core(), &ReceiverCore::problemReported);
    settings_.values[u"minseverity"_s] = u"4"_s;
    core().openDatabase();
    for (const char* message : {"<12>app: warning kept", "<15>app: info debug", "<14>app: info informational",
                                "info: without a priority", "<8>app: error kept", "<13>app: INFO by words"})
        socket_.arrive(message);
    secondTimer_->tick();

    EXPECT_EQ(storedMessages(readEngine_, dbPath(), clock_.now().toString(QStringLiteral("yyyy-MM-dd"))),
              (QStringList{u"warning kept"_s, u"without a priority"_s, u"error kept"_s}));
    ASSERT_EQ(seconds.size(), 1);
    const auto second = seconds[0][0].value<IntakeSecond>();
    EXPECT_EQ(second.filteredCount, 3);
    EXPECT_EQ(second.minSeverity, 4);
    ASSERT_EQ(core().intake().filtered().count, 3);
    EXPECT_EQ(core().intake().filtered().texts[0], u"<15>app: info debug"_s);
    EXPECT_TRUE(problems.isEmpty());

    settings_.values[u"minseverity"_s] = u"8"_s;
    core().openDatabase();
    socket_.arrive("<15>app: info debug");
    EXPECT_EQ(core().intake().filtered().count, 3);
    ASSERT_EQ(problems.size(), 1);
    EXPECT_TRUE(problems[0][0].toString().startsWith(u"minseverity=8 is not"_s));
}

// A message the length window drops is counted: in the tick's losses (the
// status line's tooltip) and in the closing line.
TEST_F(SteppedReceiver, AMessageTheLengthWindowDropsIsCountedInTheLossesAndTheClosingLine)
{
    QSignalSpy seconds(&core(), &ReceiverCore::secondElapsed);
    socket_.arrive("<14>host info: kept");
    socket_.arrive("<14>info ab");
    socket_.arrive("<14>info " + QByteArray(65535, 'x'));
    socket_.arrive("<14>host info:\r\n");
    secondTimer_->tick();

    ASSERT_EQ(seconds.size(), 1);
    EXPECT_EQ(seconds[0][0].value<IntakeSecond>().losses.outsideLengthWindow, 2);
    EXPECT_EQ(seconds[0][0].value<IntakeSecond>().receivedThisSecond, 4);
    EXPECT_EQ(core().storeCounters().received, 2);
    EXPECT_TRUE(core().summaryLine().contains(u"; 2 messages not kept for their length"_s))
        << core().summaryLine().toStdString();
}

TEST_F(SteppedReceiver, TickReportsTheSecondAndPassesOnlyNewRejectionsOn)
{
    QSignalSpy seconds(&core(), &ReceiverCore::secondElapsed);
    QSignalSpy updates(&core(), &ReceiverCore::filteredUpdated);
    socket_.arrive("<14>host info: kept");
    socket_.arrive("<14>host nothing to see");
    secondTimer_->tick();
    secondTimer_->tick();

    ASSERT_EQ(seconds.size(), 2);
    const auto first = seconds[0][0].value<IntakeSecond>();
    EXPECT_EQ(first.receivedThisSecond, 1);
    EXPECT_EQ(first.filteredCount, 1);
    EXPECT_EQ(seconds[1][0].value<IntakeSecond>().receivedThisSecond, 0);
    ASSERT_EQ(updates.size(), 1);
    const auto update = updates[0][0].value<FilteredBufferUpdate>();
    ASSERT_EQ(update.entries.size(), 1);
    EXPECT_EQ(update.entries[0].text, QStringLiteral("<14>host nothing to see"));
}

namespace {

// Creates a day table the way an earlier run would have left it.
void createDay(DbEngine& engine, const QString& path, const QString& day)
{
    engine.open(path, DbEngine::OpenMode::CreateIfMissing)
        ->execute(QStringLiteral("CREATE TABLE %1 (\"ID\" INTEGER PRIMARY KEY, \"时间\" TEXT, \"IP地址\" TEXT, \"信息\" TEXT)")
                      .arg(quoteName(dayTableName(day))));
}

} // namespace

TEST(KeptDays, OlderDaysAreDroppedAtStartupAndWhenANewDayStartsEachToldOnce)
{
    QTemporaryDir dir;
    FakeClock clock(QDateTime(QDate(2026, 12, 6), QTime(23, 59, 59)));
    SqliteEngine engine;
    const QString dbPath = QDir(dir.path()).filePath(QStringLiteral("syslog.mdb"));
    for (const char* day : {"2026-11-05", "2026-11-06", "2026-11-07", "2026-12-01"})
        createDay(engine, dbPath, QString::fromLatin1(day));
    FakeUdpSocket socket;
    ReceiverCore receiver(CoreServices{clock, engine, engine, [&] { return std::make_unique<FakeSocketView>(socket); },
                                       [](int) { return std::make_unique<FakeTimer>(); }, dir.path()});
    QSignalSpy told(&receiver, &ReceiverCore::problemReported);
    QSignalSpy dropped(&receiver, &ReceiverCore::daysDropped);
    receiver.setKeepDays(30);
    receiver.openDatabase();
    LogDatabase database(engine, dir.path(), clock);
    EXPECT_EQ(database.dayList(), (QStringList{u"2026-11-06"_s, u"2026-11-07"_s, u"2026-12-01"_s, u"2026-12-06"_s}));
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0][0].toString().contains(QStringLiteral("2026-11-05")));

    socket.setLocalPort(514);
    ASSERT_TRUE(socket.bind());
    clock.advanceSeconds(1); // midnight
    socket.arrive("<14>host info: a new day");
    EXPECT_EQ(database.dayList(), (QStringList{u"2026-11-07"_s, u"2026-12-01"_s, u"2026-12-06"_s, u"2026-12-07"_s}));
    ASSERT_EQ(told.size(), 2);
    EXPECT_TRUE(told[1][0].toString().contains(QStringLiteral("2026-11-06")));
    EXPECT_EQ(dropped.size(), 2);
}

TEST(Startup, ADatabaseThatCanBeReadButNotWrittenIsRefusedWithTheStoresTextOneHeldLockedJustNowIsTaken)
{
    // Running as root a read-only directory is still writable, so the store's
    // refusal is played by a connection.
    class ReadOnlyEngine final : public DbEngine {
    public:
        explicit ReadOnlyEngine(DbEngine& real) : real_(real) {}
        std::unique_ptr<DbConnection> open(const QString& path, OpenMode mode) override
        {
            class Refusing final : public ForwardingConnection {
            public:
                using ForwardingConnection::ForwardingConnection;
                void execute(const QString& sql) override
                {
                    if (sql.startsWith(QLatin1String("BEGIN")))
                        throw DbError(QStringLiteral("attempt to write a readonly database"), DbError::kReadOnly);
                    ForwardingConnection::execute(sql);
                }
            };
            return std::make_unique<Refusing>(real_.open(path, mode));
        }

    private:
        DbEngine& real_;
    };
    QTemporaryDir dir;
    SystemClock clock;
    SqliteEngine engine;
    ReadOnlyEngine readOnly(engine);
    FakeUdpSocket socket;
    ReceiverCore receiver(CoreServices{clock, engine, readOnly,
                                       [&] { return std::make_unique<FakeSocketView>(socket); },
                                       [](int) { return std::make_unique<FakeTimer>(); }, dir.path()});
    try {
        receiver.openDatabase();
        FAIL() << "a database that cannot be written was accepted";
    } catch (const DbError& error) {
        EXPECT_EQ(error.text(), QStringLiteral("attempt to write a readonly database"));
    }

    // Another program writing just now holds the file locked: it is writable.
    const auto holder = engine.open(QDir(dir.path()).filePath(QStringLiteral("syslog.mdb")));
    holder->execute(QStringLiteral("BEGIN IMMEDIATE"));
    SqliteEngine impatient(0);
    ReceiverCore second(CoreServices{clock, engine, impatient, [&] { return std::make_unique<FakeSocketView>(socket); },
                                     [](int) { return std::make_unique<FakeTimer>(); }, dir.path()});
    EXPECT_NO_THROW(second.openDatabase());
}

TEST(Startup, ADamagedDatabaseIsCheckedInTheBackgroundAndToldOnceNamingTheFile)
{
    QTemporaryDir dir;
    FakeClock clock;
    SqliteEngine engine;
    const QString dbPath = QDir(dir.path()).filePath(QStringLiteral("syslog.mdb"));
    createDay(engine, dbPath, u"2026-12-05"_s);
    int firstLeaf = 0;
    int pageSize = 0;
    {
        auto connection = engine.open(dbPath);
        connection->begin();
        auto insert = connection->prepare(u"INSERT INTO \"syslog-2026-12-05\" (\"信息\") VALUES (?)"_s);
        for (int i = 0; i < 2000; ++i)
            insert->runTexts({QStringLiteral("info: %1 ").arg(i) + QString(200, u'x')});
        insert.reset();
        connection->commit();
        auto root = connection->query(u"SELECT rootpage AS v FROM sqlite_master WHERE name = 'syslog-2026-12-05'"_s);
        ASSERT_TRUE(root->next());
        firstLeaf = root->text(u"v"_s)->toInt() + 1;
        auto size = connection->query(u"PRAGMA page_size"_s);
        ASSERT_TRUE(size->next());
        pageSize = size->text(u"page_size"_s)->toInt();
    } // the last connection folds the log into the file
    // Garbage over the head of a page of the table.
    QFile file(dbPath);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.seek(qint64(firstLeaf - 1) * pageSize));
    file.write(QByteArray(64, '\xff'));
    file.close();

    FakeUdpSocket socket;
    ReceiverCore receiver(CoreServices{clock, engine, engine, [&] { return std::make_unique<FakeSocketView>(socket); },
                                       [](int) { return std::make_unique<FakeTimer>(); }, dir.path()});
    QSignalSpy told(&receiver, &ReceiverCore::problemReported);
    QSignalSpy shown(&receiver, &ReceiverCore::errorRaised);
    receiver.openDatabase(); // starts as ever: the damage is elsewhere
    ASSERT_TRUE(shown.wait(20000));
    EXPECT_TRUE(shown[0][0].toString().contains(dbPath));
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0][0].toString().contains(dbPath + QStringLiteral(" is damaged; a quick check found: ")))
        << told[0][0].toString().toStdString();

    // Opened again (as after a new port): not checked or told again.
    receiver.openDatabase();
    receiver.tick();
    QCoreApplication::processEvents();
    EXPECT_EQ(shown.size(), 1);
    EXPECT_EQ(told.size(), 1);
}
