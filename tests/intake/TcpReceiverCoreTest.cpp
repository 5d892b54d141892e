// Syslog over TCP and forwarding, through a real receiver on its own thread:
// real sockets, a real database file and recovery file.
#include "intake/DatagramIntake.h"
#include "intake/ReceiverThread.h"
#include "net/SyslogFraming.h"
#include "net/SyslogRelay.h"
#include "platform/QtUdpSocket.h"
#include "platform/SqliteEngine.h"
#include "store/LogDatabase.h"
#include "tests/support/Fakes.h"
#include "tests/support/OnThread.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/UdpPorts.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// A port free for UDP and TCP alike.
quint16 unusedPort()
{
    for (;;) {
        const quint16 port = unusedUdpPort();
        QTcpServer probe;
        if (probe.listen(QHostAddress::AnyIPv4, port))
            return port;
    }
}

// An open connection to the receiver, from the given local address.
std::unique_ptr<QTcpSocket> connectTo(quint16 port, const QHostAddress& from = QHostAddress::LocalHost)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->bind(from, 0);
    socket->connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(socket->waitForConnected(10000)) << socket->errorString().toStdString();
    return socket;
}

class TcpReceiver : public ::testing::Test {
protected:
    // Runs request on the receiver's thread.
    template <typename Request>
    auto core(Request request)
    {
        return onThreadOf(receiver_.core(), [this, &request] { return request(*receiver_.core()); });
    }
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        port_ = unusedPort();
    }
    void start()
    {
        core([](ReceiverCore& c) { c.openDatabase(); });
        ASSERT_TRUE(core([this](ReceiverCore& c) { return c.port().setLocalPort(port_) && c.port().bind(); }));
    }
    qint64 received() { return core([](ReceiverCore& c) { return c.storeCounters().received; }); }
    TcpCounts tcpCounts() { return core([](ReceiverCore& c) { return c.tcp().counts(); }); }

    // The day's rows as "IP message", in ID order.
    QStringList storedRows()
    {
        const QString day = clock_.now().toString(QStringLiteral("yyyy-MM-dd"));
        auto cursor = readEngine_.open(QDir(dir_.path()).filePath(QStringLiteral("syslog.mdb")))
                          ->query(QStringLiteral("SELECT * FROM %1 ORDER BY \"ID\"").arg(quoteName(dayTableName(day))));
        QStringList rows;
        while (cursor->next())
            rows << cursor->text(QStringLiteral("IP地址")).value_or(QString()) + u' '
                    + cursor->text(QStringLiteral("信息")).value_or(QString());
        return rows;
    }

    QTemporaryDir dir_;
    SystemClock clock_;
    SqliteEngine readEngine_{2000};
    SqliteEngine writeEngine_{250};
    FakeSettingsStore settings_;
    ReceiverThread receiver_{CoreServices{clock_, readEngine_, writeEngine_,
                                          [] { return std::make_unique<QtUdpSocket>(); },
                                          [](int ms) { return std::unique_ptr<Timer>(new QtTimer(ms)); }, dir_.path(),
                                          &settings_}};
    quint16 port_ = 0;
};

} // namespace

TEST_F(TcpReceiver, MessagesOfBothFramingsTakeTheDatagramPathWithThePeersAddressInOrder)
{
    start();
    const QByteArray gb18030 = QByteArrayLiteral("<14>host info: \xd6\xd0\xce\xc4");  // "中文" in GB18030
    auto connection = connectTo(port_, QHostAddress(QStringLiteral("127.0.0.2")));
    connection->write("<14>host info: first\n<14>host nothing to see\n");
    connection->write(QByteArray::number(gb18030.size()) + ' ' + gb18030);
    // A NUL ends a message; the trimmed "x" is too short to keep.
    const char withNul[] = "<14>host info: with\0nul\r\n<14>info: x\n";
    connection->write(withNul, sizeof withNul - 1);
    connection->write("<14>host   info: last, without its terminator");
    connection->disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return received() >= 4; }, 20000));
    core([](ReceiverCore& c) { c.shutdown(); });

    EXPECT_EQ(storedRows(), (QStringList{u"127.0.0.2 info: first"_s, QStringLiteral("127.0.0.2 info: 中文"),
                                         u"127.0.0.2 info: with"_s,
                                         u"127.0.0.2   info: last, without its terminator"_s}));
    EXPECT_EQ(core([](ReceiverCore& c) { return c.intake().filteredCount(); }), 2);  // "nothing", "nul"
}

// The port takes IPv6 and IPv4 senders alike, over UDP and TCP: an IPv6
// sender is stored in its short form, an IPv4 one dotted as always (never as
// an IPv4-mapped IPv6 address).
TEST_F(TcpReceiver, Ipv6AndIpv4SendersOverUdpAndTcpAreStoredWithTheirAddresses)
{
    start();
    QUdpSocket udp;
    udp.writeDatagram("<14>host info: udp v6", QHostAddress::LocalHostIPv6, port_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received() == 1; }, 10000));
    udp.writeDatagram("<14>host info: udp v4", QHostAddress::LocalHost, port_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received() == 2; }, 10000));
    QTcpSocket tcp;
    tcp.connectToHost(QHostAddress::LocalHostIPv6, port_);
    ASSERT_TRUE(tcp.waitForConnected(10000)) << tcp.errorString().toStdString();
    tcp.write("<14>host info: tcp v6\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return received() == 3; }, 10000));
    auto tcp4 = connectTo(port_);
    tcp4->write("<14>host info: tcp v4\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return received() == 4; }, 10000));
    core([](ReceiverCore& c) { c.shutdown(); });

    EXPECT_EQ(storedRows(), (QStringList{u"::1 info: udp v6"_s, u"127.0.0.1 info: udp v4"_s, u"::1 info: tcp v6"_s,
                                         u"127.0.0.1 info: tcp v4"_s}));
}

// With a certificate, a key and an authority, TLS is received on its own
// port, octet-counted or LF-framed as over TCP, from clients whose
// certificate the authority signed; the others are refused at the handshake
// and counted. Plain TCP and UDP go on beside it.
TEST_F(TcpReceiver, TlsTakesClientsSignedByTheAuthorityAndRefusesAndCountsTheOthers)
{
    const TestCertificates certificates;
    ASSERT_TRUE(certificates.ok()) << certificates.error().toStdString();
    const quint16 tlsPort = unusedPort();
    settings_.write(u"tlscert"_s, certificates.certificate(u"server"_s));
    settings_.write(u"tlskey"_s, certificates.key(u"server"_s));
    settings_.write(u"tlsca"_s, certificates.certificate(u"ca"_s));
    settings_.write(u"tlsport"_s, QString::number(tlsPort));
    start();
    const auto client = [&](const QString& name) {
        auto socket = std::make_unique<QSslSocket>();
        QSslConfiguration configuration = socket->sslConfiguration();
        configuration.setCaCertificates(QSslCertificate::fromPath(certificates.certificate(u"ca"_s)));
        socket->setSslConfiguration(configuration);
        if (!name.isEmpty()) {
            socket->setLocalCertificate(certificates.certificate(name));
            socket->setPrivateKey(certificates.key(name), QSsl::Ec);
        }
        socket->connectToHostEncrypted(u"127.0.0.1"_s, tlsPort, u"localhost"_s);
        return socket;
    };
    auto signedClient = client(u"client"_s);
    ASSERT_TRUE(signedClient->waitForEncrypted(10000)) << signedClient->errorString().toStdString();
    signedClient->write("21 <14>host info: framed<14>host info: by LF\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return received() == 2; }, 10000));
    auto plain = connectTo(port_);
    plain->write("<14>host info: plain\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return received() == 3; }, 10000));
    auto stranger = client(u"stranger"_s);
    auto anonymous = client(QString());
    const auto refused = [&] { return core([](ReceiverCore& c) { return c.tls().counts().handshakeFailed; }); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return refused() == 2; }, 10000));
    signedClient->disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return core([](ReceiverCore& c) { return c.tls().connectionCount(); }) == 0; },
                                10000));
    core([](ReceiverCore& c) { c.shutdown(); });

    EXPECT_EQ(storedRows(), (QStringList{u"127.0.0.1 info: framed"_s, u"127.0.0.1 info: by LF"_s,
                                         u"127.0.0.1 info: plain"_s}));
    EXPECT_TRUE(core([](ReceiverCore& c) { return c.summaryLine(); })
                    .contains(u"TLS: 2 messages over 3 connections, 2 refused at the handshake"_s));
}

// A key file that others than its owner may read is refused with a message
// naming it; UDP and TCP are received as ever.
TEST_F(TcpReceiver, AKeyFileOthersMayReadIsRefusedAndUdpAndTcpGoOn)
{
    const TestCertificates certificates;
    ASSERT_TRUE(certificates.ok()) << certificates.error().toStdString();
    ASSERT_TRUE(QFile::setPermissions(certificates.key(u"server"_s), QFile::ReadOwner | QFile::WriteOwner
                                                                       | QFile::ReadGroup | QFile::ReadOther));
    settings_.write(u"tlscert"_s, certificates.certificate(u"server"_s));
    settings_.write(u"tlskey"_s, certificates.key(u"server"_s));
    settings_.write(u"tlsport"_s, QString::number(unusedPort()));
    QSignalSpy problems(receiver_.core(), &ReceiverCore::problemReported);
    start();
    EXPECT_FALSE(core([](ReceiverCore& c) { return c.tls().isListening(); }));
    auto tcp = connectTo(port_);
    tcp->write("<14>host info: tcp still\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return received() == 1; }, 10000));

    QStringList lines;
    for (const QList<QVariant>& arguments : problems)
        lines << arguments.value(0).toString();
    EXPECT_EQ(lines.filter(u"TLS"_s),
              QStringList{u"syslog over TLS is not received: the TLS key file %1 may be read or written by others than its "
                          "owner (mode 0644): it is not used; make it its owner's alone (chmod 600 %1); UDP and TCP are"_s
                              .arg(certificates.key(u"server"_s))});
}

TEST_F(TcpReceiver, HostileClientsAreClosedAfterWhatWasWholeIsStoredAndTheLimitRefusesMore)
{
    start();
    // Text over 65,534 characters (within the byte limit), then a wrong octet count.
    auto tooLong = connectTo(port_);
    const QByteArray longText = "<14>host info: " + QByteArray(65534, 'a');
    tooLong->write("<14>host info: whole one\n" + QByteArray::number(longText.size()) + ' ' + longText + "\nnever");
    auto badCount = connectTo(port_);
    badCount->write("<14>host info: whole two\n1234567890 <14>host info: never");
    QSignalSpy tooLongClosed(tooLong.get(), &QTcpSocket::disconnected);
    QSignalSpy badCountClosed(badCount.get(), &QTcpSocket::disconnected);
    ASSERT_TRUE(tooLongClosed.wait(10000));
    ASSERT_TRUE(badCountClosed.count() == 1 || badCountClosed.wait(10000));
    EXPECT_EQ(tcpCounts().faulty, 2);
    // An octet count longer than its message takes the next one into it: both are gone, and counted.
    auto swallowing = connectTo(port_);
    swallowing->write("100 <14>host info: short\n<14>host info: swallowed\n");
    swallowing->disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return tcpCounts().incomplete == 1; }, 10000));

    // Idle connections are closed by the sweep after the timeout.
    core([](ReceiverCore& c) { c.tcp().setIdleTimeoutMs(100); });
    auto idle = connectTo(port_);
    QSignalSpy idleClosed(idle.get(), &QTcpSocket::disconnected);
    ASSERT_TRUE(QTest::qWaitFor([&] {
        core([](ReceiverCore& c) { c.tcp().sweep(); });
        return idleClosed.count() == 1 || idleClosed.wait(50);
    }, 10000));
    EXPECT_EQ(tcpCounts().idle, 1);
    core([](ReceiverCore& c) { c.tcp().setIdleTimeoutMs(10 * 60 * 1000); });

    // 256 from eight addresses, each at its limit of 32.
    std::vector<std::unique_ptr<QTcpSocket>> open;
    for (int i = 0; i < 256; ++i)
        open.push_back(connectTo(port_, QHostAddress(QStringLiteral("127.0.1.%1").arg(1 + i / 32))));
    ASSERT_TRUE(QTest::qWaitFor([&] { return core([](ReceiverCore& c) { return c.tcp().connectionCount(); }) == 256; }, 20000));
    auto refused = connectTo(port_);
    QSignalSpy refusedClosed(refused.get(), &QTcpSocket::disconnected);
    ASSERT_TRUE(refusedClosed.wait(10000));
    EXPECT_EQ(tcpCounts().refused, 1);
    for (const auto& socket : open)
        EXPECT_EQ(socket->state(), QAbstractSocket::ConnectedState);

    core([](ReceiverCore& c) { c.shutdown(); });
    EXPECT_EQ(storedRows(), (QStringList{u"127.0.0.1 info: whole one"_s, u"127.0.0.1 info: whole two"_s}));
    EXPECT_TRUE(core([](ReceiverCore& c) { return c.summaryLine(); })
                    .contains(QStringLiteral("1 connections refused (more than 256 at once), 0 refused (more than 32 "
                                             "from one address), 2 closed for a bad message")));
    EXPECT_TRUE(core([](ReceiverCore& c) { return c.summaryLine(); })
                    .endsWith(QStringLiteral("1 messages cut short by the end of their connection, 1 closed when idle")));
}

TEST_F(TcpReceiver, ALockedDatabaseSlowsTheSendersAndCostsNoMessage)
{
    start();
    const QString dbPath = QDir(dir_.path()).filePath(QStringLiteral("syslog.mdb"));
    auto holder = readEngine_.open(dbPath);
    holder->execute(QStringLiteral("BEGIN EXCLUSIVE"));
    constexpr int perConnection = 20000;
    std::vector<std::unique_ptr<QTcpSocket>> senders;
    QStringList expected;
    for (int c = 0; c < 2; ++c) {
        senders.push_back(connectTo(port_));
        QByteArray stream;
        for (int i = 0; i < perConnection; ++i) {
            const QByteArray message = "<14>host info: c" + QByteArray::number(c) + " n" + QByteArray::number(i);
            stream += (c == 0 ? message + '\n' : QByteArray::number(message.size()) + ' ' + message);
            expected << QString::fromLatin1(message.mid(9));
        }
        senders.back()->write(stream);
    }
    // Held until records had to go to the recovery file, then released.
    ASSERT_TRUE(QTest::qWaitFor([&] { return core([](ReceiverCore& c) { return c.storeCounters().recovered; }) > 0; },
                                20000));
    holder->execute(QStringLiteral("COMMIT"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return received() == 2 * perConnection; }, 60000));
    core([](ReceiverCore& c) { c.shutdown(); });

    QStringList everywhere;
    for (const QString& row : storedRows())
        everywhere << row.section(u' ', 1);
    const qsizetype inDatabase = everywhere.size();
    QFile recovery(core([](ReceiverCore& c) { return c.recoveryLogPath(); }));
    ASSERT_TRUE(recovery.open(QIODevice::ReadOnly));
    for (const QByteArray& line : recovery.readAll().split('\n'))
        if (!line.trimmed().isEmpty())
            everywhere << QString::fromUtf8(line.trimmed()).section(u' ', 3);  // after the time and address
    EXPECT_LT(inDatabase, everywhere.size());  // the lock sent records to the recovery file
    std::sort(everywhere.begin(), everywhere.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(everywhere, expected);  // each exactly once
    const StoreCounters counted = core([](ReceiverCore& c) { return c.storeCounters(); });
    EXPECT_EQ(counted.lost, 0);
    EXPECT_EQ(counted.stored + counted.recovered, 2 * perConnection);
}

TEST_F(TcpReceiver, AcceptedMessagesAreForwardedToEachDestinationWithTheSenderAndArrivalTime)
{
    QUdpSocket udpPeer;
    ASSERT_TRUE(udpPeer.bind(QHostAddress::LocalHost, 0));
    QTcpServer tcpPeer;
    ASSERT_TRUE(tcpPeer.listen(QHostAddress::LocalHost, 0));
    settings_.values[QStringLiteral("forward")] = QStringLiteral("udp://127.0.0.1:%1  tcp://127.0.0.1:%2?raw nonsense")
                                                     .arg(udpPeer.localPort())
                                                     .arg(tcpPeer.serverPort());
    QSignalSpy problems(receiver_.core(), &ReceiverCore::problemReported);
    start();

    const QByteArray gb18030 = QByteArrayLiteral("<14>host info: \xd6\xd0\xce\xc4");
    auto connection = connectTo(port_);
    connection->write("<14>host info: over tcp\n<14>host not forwarded\n");
    connection->write(QByteArray::number(gb18030.size()) + ' ' + gb18030);
    QUdpSocket sender;
    const QByteArray withHeader = "<14>Dec  7 15:37:51 host info: over udp";
    sender.writeDatagram(withHeader, QHostAddress::LocalHost, port_);
    QList<QByteArray> asReceived{"<14>host info: over tcp", gb18030, withHeader};

    QList<QByteArray> overUdp;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        while (udpPeer.hasPendingDatagrams())
            overUdp << udpPeer.receiveDatagram().data();
        return overUdp.size() >= 3;
    }, 20000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return tcpPeer.hasPendingConnections(); }, 20000));
    QTcpSocket* forwarded = tcpPeer.nextPendingConnection();
    SyslogFraming framing(1 << 20);
    QList<QByteArray> overTcp;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        overTcp << framing.feed(forwarded->readAll());
        return overTcp.size() >= 3;
    }, 20000));
    core([](ReceiverCore& c) { c.shutdown(); });

    // The relay's TIMESTAMP is the arrival time its record got, HOSTNAME the sender.
    const QString day = clock_.now().toString(QStringLiteral("yyyy-MM-dd"));
    auto cursor = readEngine_.open(QDir(dir_.path()).filePath(QStringLiteral("syslog.mdb")))
                      ->query(QStringLiteral("SELECT * FROM %1 ORDER BY \"ID\"").arg(quoteName(dayTableName(day))));
    QMap<QString, QByteArray> stamps;
    while (cursor->next())
        stamps[cursor->text(QStringLiteral("信息")).value_or(QString())] = relayTimestamp(
            QDateTime::fromString(cursor->text(QStringLiteral("时间")).value_or(QString()), u"yyyy-MM-dd HH:mm:ss"_s));
    QList<QByteArray> relayed{"<14>" + stamps.value(u"info: over tcp"_s) + " 127.0.0.1 host info: over tcp",
                              "<14>" + stamps.value(QStringLiteral("info: 中文")) + " 127.0.0.1 host info: \xd6\xd0\xce\xc4",
                              withHeader};
    for (QList<QByteArray>* list : {&asReceived, &relayed, &overUdp, &overTcp})
        std::sort(list->begin(), list->end());
    EXPECT_EQ(overUdp, relayed);
    EXPECT_EQ(overTcp, asReceived);

    QStringList lines;
    for (const QList<QVariant>& signal : problems)
        lines << signal.first().toString();
    EXPECT_EQ(lines.filter(QStringLiteral("\"nonsense\" ignored")).size(), 1) << lines.join(u'\n').toStdString();
}

TEST_F(TcpReceiver, ABusyTcpPortLeavesUdpWorkingAndIsToldOnceAndTcpZeroListensOnlyForUdp)
{
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::AnyIPv4, port_));
    QSignalSpy problems(receiver_.core(), &ReceiverCore::problemReported);
    QSignalSpy seconds(receiver_.core(), &ReceiverCore::secondElapsed);
    start();
    ASSERT_TRUE(core([](ReceiverCore& c) {
        c.port().close();
        return c.port().bind();
    }));
    QUdpSocket sender;
    sender.writeDatagram("<14>host info: over udp", QHostAddress::LocalHost, port_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received() == 1; }, 20000));
    core([](ReceiverCore& c) { c.tick(); }); // the spy hears it on the receiver's thread, before this returns
    ASSERT_FALSE(seconds.isEmpty());
    EXPECT_TRUE(seconds.last().first().value<IntakeSecond>().tcpUnavailable.contains(QStringLiteral("in use")));
    ASSERT_EQ(problems.size(), 1);
    EXPECT_TRUE(
        problems.first().first().toString().startsWith(QStringLiteral("TCP port %1 cannot be bound").arg(port_)));

    settings_.values[QStringLiteral("tcp")] = QStringLiteral("0");
    other.close();
    core([](ReceiverCore& c) { c.openDatabase(); });
    ASSERT_TRUE(core([](ReceiverCore& c) { return c.port().bind(); }));
    EXPECT_FALSE(core([](ReceiverCore& c) { return c.tcp().isListening(); }));
    const qsizetype told = seconds.size();
    core([](ReceiverCore& c) { c.tick(); });
    ASSERT_EQ(seconds.size(), told + 1);
    EXPECT_TRUE(seconds.last().first().value<IntakeSecond>().tcpUnavailable.isEmpty());
    EXPECT_FALSE(core([](ReceiverCore& c) { return c.summaryLine(); }).contains(QStringLiteral("TCP")));
    core([](ReceiverCore& c) { c.shutdown(); });
}

namespace {

// The receiver on the test's thread with its clock and timers stepped by hand.
class SteppedTcpReceiver : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        port_ = unusedPort();
        receiver_.openDatabase();
        ASSERT_TRUE(receiver_.port().setLocalPort(port_));
        ASSERT_TRUE(receiver_.port().bind());
    }
    ReceiverCore& core() { return receiver_; }
    QString dbPath() const { return QDir(dir_.path()).filePath(QStringLiteral("syslog.mdb")); }

    QTemporaryDir dir_;
    FakeClock clock_;
    SqliteEngine readEngine_{2000};
    SqliteEngine writeEngine_{50};
    FakeTimer* writeTimer_ = nullptr;
    ReceiverCore receiver_{CoreServices{clock_, readEngine_, writeEngine_,
                                        [] { return std::make_unique<QtUdpSocket>(); },
                                        [this](int intervalMs) {
                                            auto timer = std::make_unique<FakeTimer>();
                                            if (intervalMs == 100)
                                                writeTimer_ = timer.get();
                                            return std::unique_ptr<Timer>(std::move(timer));
                                        },
                                        dir_.path()}};
    quint16 port_ = 0;
};

} // namespace

TEST_F(SteppedTcpReceiver, WhileNothingCanBeWrittenTcpIsNotReadAndWhatWasReadWaitsUntilAWriteSucceeds)
{
    // Neither the database nor the recovery file takes a record.
    auto holder = readEngine_.open(dbPath());
    holder->execute(QStringLiteral("BEGIN EXCLUSIVE"));
    ASSERT_TRUE(QDir().mkpath(core().recoveryLogPath()));
    QSignalSpy problems(&core(), &ReceiverCore::problemReported);

    auto sender = connectTo(port_);
    sender->write("<14>host info: first\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return core().storeCounters().held == 1; }, 10000));
    EXPECT_TRUE(core().tcp().isPaused());
    // More than the system's buffers hold between the two ends.
    QByteArray rest;
    constexpr int count = 12000;
    const QByteArray padding(1000, 'p');
    for (int i = 1; i < count; ++i)
        rest += "<14>host info: n" + QByteArray::number(i) + ' ' + padding + '\n';
    const qint64 readBefore = core().tcp().counts().bytes;
    sender->write(rest);
    for (int i = 0; i < 200; ++i)
        QCoreApplication::processEvents();
    core().tick();
    EXPECT_EQ(core().tcp().counts().bytes, readBefore); // nothing more is read: the sender waits
    EXPECT_GT(sender->bytesToWrite(), 0);
    EXPECT_EQ(core().tcp().counts().messages, 1);
    EXPECT_EQ(core().storeCounters().lost, 0);
    ASSERT_FALSE(problems.isEmpty());
    EXPECT_TRUE(problems.last().first().toString().contains(QStringLiteral("TCP is not read until a write succeeds")));

    // Room again: the write a second later succeeds, and reading goes on.
    holder->execute(QStringLiteral("COMMIT"));
    QDir(core().recoveryLogPath()).removeRecursively();
    clock_.advanceSeconds(1);
    writeTimer_->tick();
    EXPECT_EQ(core().storeCounters().held, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return core().storeCounters().received == count; }, 20000));
    core().shutdown();

    const StoreCounters counted = core().storeCounters();
    EXPECT_EQ(counted.stored, count);
    EXPECT_EQ(counted.lost + counted.recovered + counted.held, 0);
    auto cursor = readEngine_.open(dbPath())->query(
        QStringLiteral("SELECT \"信息\" FROM %1 ORDER BY \"ID\"").arg(quoteName(dayTableName(clock_.now().toString(
            QStringLiteral("yyyy-MM-dd"))))));
    QStringList stored;
    while (cursor->next())
        stored << cursor->text(QStringLiteral("信息")).value_or(QString());
    ASSERT_EQ(stored.size(), count);
    EXPECT_EQ(stored.first(), QStringLiteral("info: first"));
    EXPECT_EQ(stored.last(), QStringLiteral("info: n%1 ").arg(count - 1) + QString::fromLatin1(padding));
}
