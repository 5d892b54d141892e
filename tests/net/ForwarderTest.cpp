#include "net/Forwarder.h"
#include "net/SyslogFraming.h"
#include "net/TlsCredentials.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>
#include <gtest/gtest.h>
#include <memory>

#include "tests/support/TestCertificates.h"
#include "tests/support/UdpPorts.h"

#include <sys/socket.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 10000;

// Messages as devices send them, with bytes no text decoding would keep.
const QList<QByteArray> kMessages = {
    "<13>Oct 11 22:14:15 host app: first",
    QByteArray("<14>binary \0\xff\xfe and\r\nlines", 25),
    "<15>" + QByteArray(3000, 'x'),
};

QByteArray framed(const QList<QByteArray>& messages)
{
    QByteArray bytes;
    for (const QByteArray& message : messages)
        bytes += QByteArray::number(message.size()) + ' ' + message;
    return bytes;
}

// Raw unless said otherwise: these tests look at transport, not at content.
ForwardDestination destination(ForwardDestination::Transport transport, quint16 port, bool raw = true,
                               ForwardDestination::Framing framing = ForwardDestination::Framing::OctetCounting)
{
    return ForwardDestination{transport, QStringLiteral("127.0.0.1"), port, framing, raw};
}

const QDateTime kArrival(QDate(2026, 12, 7), QTime(9, 5, 3));

void send(Forwarder& forwarder, const QByteArray& message)
{
    forwarder.forward(message, QStringLiteral("10.1.2.3"), kArrival);
}

QList<QByteArray> receiveDatagrams(QUdpSocket& receiver, qsizetype count)
{
    QList<QByteArray> received;
    EXPECT_TRUE(QTest::qWaitFor([&] {
        while (receiver.hasPendingDatagrams())
            received << receiver.receiveDatagram().data();
        return received.size() >= count;
    }, kWaitMs));
    return received;
}

ForwarderOptions quickRetries()
{
    ForwarderOptions options;
    options.retryInitialMs = 10;
    options.retryMaxMs = 40;
    return options;
}

// Accepts connections and collects what arrives on the latest one.
class TcpReceiver {
public:
    TcpReceiver()
    {
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                connection.reset(socket);
                QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] { received += socket->readAll(); });
            }
        });
    }
    bool listen(quint16 port = 0) { return server.listen(QHostAddress::LocalHost, port); }
    // Listens on a free port below the kernel's ephemeral range (32768 and up
    // on Linux): once the port is closed, a connection attempt to it can never
    // be given the same port as its own source and connect to itself.
    void listenBelowEphemeralPorts()
    {
        while (!listen(quint16(QRandomGenerator::global()->bounded(20000, 32000)))) {}
    }
    // Closes the listener and the connection, as a receiver that stops does.
    void stop()
    {
        server.close();
        if (connection)
            connection->close();
    }

    QTcpServer server;
    std::unique_ptr<QTcpSocket> connection;
    QByteArray received;
};

bool waitForConnected(const Forwarder& forwarder, bool connected)
{
    return QTest::qWaitFor([&] { return forwarder.status().value(0).connected == connected; }, kWaitMs);
}

} // namespace

TEST(ForwarderTest, SendsEachMessageAsOneDatagramByteForByteWhenRaw)
{
    for (const bool batched : {true, false}) {
        QUdpSocket receiver;
        ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
        ForwarderOptions options;
        options.batchedDatagrams = batched;
        Forwarder forwarder({destination(ForwardDestination::Transport::Udp, receiver.localPort())}, options);
        for (const QByteArray& message : kMessages)
            send(forwarder, message);

        EXPECT_EQ(receiveDatagrams(receiver, kMessages.size()), kMessages);
        ASSERT_TRUE(QTest::qWaitFor([&] { return forwarder.status().value(0).sent == quint64(kMessages.size()); }, kWaitMs));
        EXPECT_EQ(forwarder.status().value(0).missed, 0u);
    }
}

// Each framing as a listener receives it, with the relay's header where the
// destination is not raw.
TEST(ForwarderTest, EachDestinationGetsItsFramingAndTheRelayHeaderUnlessRaw)
{
    using T = ForwardDestination::Transport;
    QUdpSocket udp;
    ASSERT_TRUE(udp.bind(QHostAddress::LocalHost, 0));
    TcpReceiver octets;
    TcpReceiver lines;
    ASSERT_TRUE(octets.listen());
    ASSERT_TRUE(lines.listen());
    Forwarder forwarder({destination(T::Udp, udp.localPort(), false),
                         destination(T::Tcp, octets.server.serverPort(), true),
                         destination(T::Tcp, lines.server.serverPort(), false, ForwardDestination::Framing::LineFeed)});
    const QList<QByteArray> messages = {"<14>info: disk ok\n", "<13>Oct 11 22:14:15 host app: as it is",
                                        "no pri\nat all"};
    for (const QByteArray& message : messages)
        send(forwarder, message);

    const QList<QByteArray> relayed = {"<14>Dec  7 09:05:03 10.1.2.3 info: disk ok\n", messages[1],
                                       "<13>Dec  7 09:05:03 10.1.2.3 no pri\nat all"};
    EXPECT_EQ(receiveDatagrams(udp, messages.size()), relayed);
    const QByteArray expectedLines = "<14>Dec  7 09:05:03 10.1.2.3 info: disk ok\n" + messages[1]
        + "\n<13>Dec  7 09:05:03 10.1.2.3 no pri at all\n";
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return octets.received.size() >= framed(messages).size() && lines.received.size() >= expectedLines.size();
    }, kWaitMs));
    EXPECT_EQ(octets.received, framed(messages));
    EXPECT_EQ(lines.received, expectedLines);
}

// A closed local port: the system refuses the first datagram, which is
// counted; the others wait until a probe gets through, then follow in order.
TEST(ForwarderTest, CountsRefusedDatagramsAndHoldsTheRestUntilTheDestinationIsBack)
{
    const quint16 port = unusedUdpPort();
    ForwarderOptions options;
    options.retryInitialMs = options.retryMaxMs = 300;
    Forwarder forwarder({destination(ForwardDestination::Transport::Udp, port)}, options);
    constexpr int kCount = 50;  // well within the receiver's buffer once they go
    QList<QByteArray> messages;
    for (int i = 0; i < kCount; ++i) {
        messages << "<14>host info: refused " + QByteArray::number(i);
        send(forwarder, messages.last());
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return forwarder.status().value(0).missed > 0; }, kWaitMs));
    ForwardStatus status = forwarder.status().value(0);
    EXPECT_FALSE(status.connected);
    EXPECT_EQ(status.sent, 0u);
    EXPECT_EQ(status.waiting, kCount - 1);
    EXPECT_TRUE(status.lastError.contains(QStringLiteral("refused"))) << status.lastError.toStdString();

    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, port));
    // Each probe refused before the bind is missed; everything after arrives.
    const QList<QByteArray> received = receiveDatagrams(receiver, kCount - qsizetype(forwarder.status().value(0).missed));
    status = forwarder.status().value(0);
    EXPECT_EQ(received.join('\n'), messages.sliced(qsizetype(status.missed)).join('\n'))
        << describeForwardStatus(status).toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return forwarder.status().value(0).connected; }, kWaitMs));

    // One datagram per call, without the system's error queue: a failed
    // send is counted and takes the destination down as well.
    options.batchedDatagrams = false;
    Forwarder oneByOne({destination(ForwardDestination::Transport::Udp, unusedUdpPort())}, options);
    for (const QByteArray& message : messages)
        send(oneByOne, message);
    ASSERT_TRUE(QTest::qWaitFor([&] { return oneByOne.status().value(0).missed > 0; }, kWaitMs));
    EXPECT_FALSE(oneByOne.status().value(0).connected);
    EXPECT_GT(oneByOne.status().value(0).waiting, 0);
}

TEST(ForwarderTest, SendsOctetCountedFramesInOrderOverTcp)
{
    TcpReceiver receiver;
    ASSERT_TRUE(receiver.listen());
    Forwarder forwarder({destination(ForwardDestination::Transport::Tcp, receiver.server.serverPort())});
    QList<QByteArray> sent;
    for (int round = 0; round < 200; ++round)
        for (const QByteArray& message : kMessages) {
            sent << message + QByteArray::number(round);
            send(forwarder, sent.last());
        }

    const QByteArray expected = framed(sent);
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.received.size() >= expected.size(); }, kWaitMs));
    EXPECT_TRUE(receiver.received == expected);
    ASSERT_TRUE(QTest::qWaitFor([&] { return forwarder.status().value(0).sent == quint64(sent.size()); }, kWaitMs));
    EXPECT_EQ(forwarder.status().value(0).waiting, 0);
}

// A TLS collector whose certificate the forwarder's authorities did not sign
// gets nothing, not even in the clear: the messages are missed and the reason
// kept. Trusting its authority, the same messages arrive octet-counted.
TEST(ForwarderTest, ForwardsOverTlsOnlyToACollectorWhoseCertificateVerifies)
{
    const TestCertificates certificates;
    ASSERT_TRUE(certificates.ok()) << certificates.error().toStdString();
    const Result<TlsIdentity> serverIdentity
        = loadTlsIdentity(certificates.certificate(u"server"_s), certificates.key(u"server"_s));
    ASSERT_TRUE(serverIdentity) << serverIdentity.error().toStdString();
    QSslServer collector;
    collector.setSslConfiguration(tlsServerConfiguration(*serverIdentity, {}));
    QByteArray received;
    QObject::connect(&collector, &QTcpServer::pendingConnectionAvailable, [&] {
        while (QTcpSocket* socket = collector.nextPendingConnection())
            QObject::connect(socket, &QTcpSocket::readyRead, [&, socket] { received += socket->readAll(); });
    });
    ASSERT_TRUE(collector.listen(QHostAddress::LocalHost));
    const ForwardDestination tls{ForwardDestination::Transport::Tls, u"localhost"_s, collector.serverPort(),
                                 ForwardDestination::Framing::OctetCounting, true};

    ForwarderOptions untrusting = quickRetries();
    untrusting.tlsConfiguration = tlsClientConfiguration({}, *loadTlsAuthorities(certificates.certificate(u"other-ca"_s)));
    Forwarder refused({tls}, untrusting);
    for (const QByteArray& message : kMessages)
        send(refused, message);
    ASSERT_TRUE(QTest::qWaitFor([&] { return refused.status().value(0).missed == quint64(kMessages.size()); }, kWaitMs));
    const ForwardStatus status = refused.status().value(0);
    EXPECT_EQ(status.sent, 0u);
    EXPECT_FALSE(status.connected);
    EXPECT_TRUE(status.lastError.contains(u"certificate"_s)) << status.lastError.toStdString();
    refused.stop(0);
    EXPECT_TRUE(received.isEmpty());

    ForwarderOptions trusting = quickRetries();
    trusting.tlsConfiguration = tlsClientConfiguration({}, *loadTlsAuthorities(certificates.certificate(u"ca"_s)));
    Forwarder forwarder({tls}, trusting);
    for (const QByteArray& message : kMessages)
        send(forwarder, message);
    const QByteArray expected = framed(kMessages);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() >= expected.size(); }, kWaitMs));
    EXPECT_TRUE(received == expected);
    EXPECT_EQ(forwarder.status().value(0).missed, 0u);
}

TEST(ForwarderTest, KeepsMessagesWhileATcpReceiverIsAwayAndSendsThemWhenItIsBack)
{
    TcpReceiver receiver;
    receiver.listenBelowEphemeralPorts();
    const quint16 port = receiver.server.serverPort();
    Forwarder forwarder({destination(ForwardDestination::Transport::Tcp, port)}, quickRetries());
    send(forwarder, kMessages[0]);
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.received == framed({kMessages[0]}); }, kWaitMs));

    receiver.stop();
    ASSERT_TRUE(waitForConnected(forwarder, false));
    for (const QByteArray& message : kMessages)
        send(forwarder, message);
    // Refused attempts meanwhile leave the messages waiting.
    QSignalSpy statusChanges(&forwarder, &Forwarder::statusChanged);
    ASSERT_TRUE(statusChanges.wait(kWaitMs));
    EXPECT_EQ(forwarder.status().value(0).waiting, kMessages.size());
    EXPECT_FALSE(forwarder.status().value(0).lastError.isEmpty());

    receiver.received.clear();
    ASSERT_TRUE(receiver.listen(port));
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.received.size() >= framed(kMessages).size(); }, kWaitMs));
    EXPECT_TRUE(receiver.received == framed(kMessages));
    const ForwardStatus status = forwarder.status().value(0);
    EXPECT_EQ(status.missed, 0u);
    EXPECT_EQ(status.waiting, 0);
}

TEST(ForwarderTest, CountsWhatTheQueueCannotHoldAndWhatIsLeftAtStopAsMissed)
{
    TcpReceiver refusing;  // a port nobody listens on once it is closed
    refusing.listenBelowEphemeralPorts();
    const quint16 port = refusing.server.serverPort();
    refusing.stop();
    ForwarderOptions options;
    options.queueCapacity = 3;
    options.retryInitialMs = 60000;  // one refused attempt, then the messages wait
    Forwarder forwarder({destination(ForwardDestination::Transport::Tcp, port)}, options);
    QSignalSpy statusChanges(&forwarder, &Forwarder::statusChanged);
    const QList<ForwardStatus> before = forwarder.status();

    for (int i = 0; i < 5; ++i)
        send(forwarder, "message " + QByteArray::number(i));
    EXPECT_EQ(forwarder.status().value(0).waiting, 5);  // gathered, not handed over yet
    ASSERT_TRUE(statusChanges.wait(kWaitMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return forwarder.status().value(0).missed == 2; }, kWaitMs));
    EXPECT_EQ(forwarder.status().value(0).waiting, 3);
    const QString line = forwardMissesLine(forwarder.status(), before);
    EXPECT_TRUE(line.contains(QStringLiteral("2 more for tcp://127.0.0.1:%1").arg(port))) << line.toStdString();
    EXPECT_TRUE(forwardMissesLine(forwarder.status(), forwarder.status()).isEmpty());

    forwarder.stop(0);
    send(forwarder, "after the stop");
    const ForwardStatus status = forwarder.status().value(0);
    EXPECT_EQ(status.missed, 6u);
    EXPECT_EQ(status.waiting, 0);
    EXPECT_EQ(status.sent, 0u);
}

// Batches larger than the queue: the oldest messages stay, in order, and
// every one that found no room is counted.
TEST(ForwarderTest, AFullQueueKeepsTheOldestInOrderAndCountsTheRest)
{
    TcpReceiver receiver;
    receiver.listenBelowEphemeralPorts();
    const quint16 port = receiver.server.serverPort();
    receiver.stop();
    ForwarderOptions options = quickRetries();
    options.queueCapacity = 100;
    Forwarder forwarder({destination(ForwardDestination::Transport::Tcp, port)}, options);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !forwarder.status().value(0).lastError.isEmpty(); }, kWaitMs));
    QList<QByteArray> messages;
    for (int i = 0; i < 1000; ++i) {
        messages << "message " + QByteArray::number(i);
        send(forwarder, messages.last());
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return forwarder.status().value(0).missed == 900; }, kWaitMs));

    ASSERT_TRUE(receiver.listen(port));
    const QByteArray expected = framed(messages.first(100));
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.received.size() >= expected.size(); }, kWaitMs));
    EXPECT_EQ(receiver.received, expected);
    ASSERT_TRUE(QTest::qWaitFor([&] { return forwarder.status().value(0).sent == 100; }, kWaitMs));
    EXPECT_EQ(forwarder.status().value(0).waiting, 0);
}

TEST(ForwarderTest, CountsWhatABrokenConnectionLeftUnacknowledgedAsMissedAndResendsTheRest)
{
    // A receiver that never reads: the connection waits unaccepted with a tiny
    // receive buffer, then the listener closes and resets it.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    const int smallBuffer = 2048;
    ASSERT_EQ(setsockopt(int(server.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &smallBuffer, sizeof smallBuffer), 0);
    server.pauseAccepting();
    Forwarder forwarder({destination(ForwardDestination::Transport::Tcp, server.serverPort())}, quickRetries());
    // More than the system's largest send buffer, so that some messages are
    // still inside the forwarder when the connection breaks.
    QFile sendBufferLimits(QStringLiteral("/proc/sys/net/ipv4/tcp_wmem"));
    ASSERT_TRUE(sendBufferLimits.open(QIODevice::ReadOnly));
    const qint64 largestSendBuffer = sendBufferLimits.readAll().simplified().split(' ').value(2).toLongLong();
    ASSERT_GT(largestSendBuffer, 0);
    const int total = int(std::min<qint64>((2 * largestSendBuffer + 1024 * 1024) / 200, 100000));
    for (int i = 0; i < total; ++i)
        send(forwarder, QByteArray(200, char('a' + i % 26)));
    // Far more than the receiver's buffer can have taken has been handed over.
    ASSERT_TRUE(QTest::qWaitFor([&] { return forwarder.status().value(0).sent >= 100; }, kWaitMs));

    server.close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return forwarder.status().value(0).missed > 0; }, kWaitMs));
    const ForwardStatus status = forwarder.status().value(0);
    EXPECT_EQ(status.sent + status.missed + quint64(status.waiting), quint64(total));
    EXPECT_GT(status.waiting, 0);
}

TEST(ForwarderTest, ParsesDestinationsAndNamesEachEntryItRejects)
{
    const ParsedForwardDestinations parsed = parseForwardDestinations(
        QStringLiteral("  udp://logs.example.net:514\ttcp://[::1]:6514 tls://[2001:db8::1]:6514 TCP+LF://10.0.0.1:601?RAW ftp://h:1 udp://h "
                       "udp://h:70000 tcp://1.2.3.999:5 udp://::1:514 udp://bad_-.name-:5 udp://logs.example.net:514 "
                       "udp://h:5?cooked udp+lf://h:5 udp://logs.example.net:514?raw"));
    using T = ForwardDestination::Transport;
    using F = ForwardDestination::Framing;
    EXPECT_EQ(parsed.destinations, (QList<ForwardDestination>{{T::Udp, u"logs.example.net"_s, 514},
                                                             {T::Tcp, u"::1"_s, 6514},
                                                             {T::Tls, u"2001:db8::1"_s, 6514},
                                                             {T::Tcp, u"10.0.0.1"_s, 601, F::LineFeed, true},
                                                             {T::Udp, u"logs.example.net"_s, 514, F::OctetCounting, true}}));
    QStringList texts;
    for (const ForwardDestination& destination : parsed.destinations)
        texts << destination.text();
    EXPECT_EQ(texts, (QStringList{u"udp://logs.example.net:514"_s, u"tcp://[::1]:6514"_s, u"tls://[2001:db8::1]:6514"_s,
                                  u"tcp+lf://10.0.0.1:601?raw"_s,
                                  u"udp://logs.example.net:514?raw"_s}));
    const QStringList rejected = {u"ftp://h:1"_s,         u"udp://h"_s,       u"udp://h:70000"_s,
                                  u"tcp://1.2.3.999:5"_s, u"udp://::1:514"_s, u"udp://bad_-.name-:5"_s,
                                  u"udp://logs.example.net:514"_s, u"udp://h:5?cooked"_s, u"udp+lf://h:5"_s};
    ASSERT_EQ(parsed.errors.size(), rejected.size()) << parsed.errors.join(u'\n').toStdString();
    for (qsizetype i = 0; i < rejected.size(); ++i)
        EXPECT_TRUE(parsed.errors[i].contains(u'"' + rejected[i] + u'"')) << parsed.errors[i].toStdString();
    EXPECT_TRUE(parseForwardDestinations(QStringLiteral(" \t ")).destinations.isEmpty());
}
