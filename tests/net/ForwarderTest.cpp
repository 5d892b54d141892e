#include "net/Forwarder.h"
#include "net/SyslogFraming.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>
#include <gtest/gtest.h>
#include <memory>

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

ForwardDestination destination(ForwardDestination::Transport transport, quint16 port)
{
    return ForwardDestination{transport, QStringLiteral("127.0.0.1"), port};
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

TEST(ForwarderTest, SendsEachMessageAsOneDatagramByteForByte)
{
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
    Forwarder forwarder({destination(ForwardDestination::Transport::Udp, receiver.localPort())});
    for (const QByteArray& message : kMessages)
        forwarder.forward(message);

    QList<QByteArray> received;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        while (receiver.hasPendingDatagrams())
            received << receiver.receiveDatagram().data();
        return received.size() >= kMessages.size();
    }, kWaitMs));
    EXPECT_EQ(received, kMessages);
    EXPECT_EQ(forwarder.status().value(0).sent, quint64(kMessages.size()));
    EXPECT_EQ(forwarder.status().value(0).missed, 0u);
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
            forwarder.forward(sent.last());
        }

    const QByteArray expected = framed(sent);
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.received.size() >= expected.size(); }, kWaitMs));
    EXPECT_TRUE(receiver.received == expected);
    ASSERT_TRUE(QTest::qWaitFor([&] { return forwarder.status().value(0).sent == quint64(sent.size()); }, kWaitMs));
    EXPECT_EQ(forwarder.status().value(0).waiting, 0);
}

TEST(ForwarderTest, KeepsMessagesWhileATcpReceiverIsAwayAndSendsThemWhenItIsBack)
{
    TcpReceiver receiver;
    receiver.listenBelowEphemeralPorts();
    const quint16 port = receiver.server.serverPort();
    Forwarder forwarder({destination(ForwardDestination::Transport::Tcp, port)}, quickRetries());
    forwarder.forward(kMessages[0]);
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.received == framed({kMessages[0]}); }, kWaitMs));

    receiver.stop();
    ASSERT_TRUE(waitForConnected(forwarder, false));
    for (const QByteArray& message : kMessages)
        forwarder.forward(message);
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
        forwarder.forward("message " + QByteArray::number(i));
    ForwardStatus status = forwarder.status().value(0);
    EXPECT_EQ(status.waiting, 3);
    EXPECT_EQ(status.missed, 2u);
    EXPECT_TRUE(statusChanges.wait(kWaitMs));
    const QString line = forwardMissesLine(forwarder.status(), before);
    EXPECT_TRUE(line.contains(QStringLiteral("2 more for tcp://127.0.0.1:%1").arg(port))) << line.toStdString();
    EXPECT_TRUE(forwardMissesLine(forwarder.status(), forwarder.status()).isEmpty());

    forwarder.stop(0);
    status = forwarder.status().value(0);
    EXPECT_EQ(status.missed, 5u);
    EXPECT_EQ(status.waiting, 0);
    EXPECT_EQ(status.sent, 0u);
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
        forwarder.forward(QByteArray(200, char('a' + i % 26)));
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
        QStringLiteral("  udp://logs.example.net:514\ttcp://[::1]:6514 TCP://10.0.0.1:601 ftp://h:1 udp://h "
                       "udp://h:70000 tcp://1.2.3.999:5 udp://::1:514 udp://bad_-.name-:5 udp://logs.example.net:514 "));
    using T = ForwardDestination::Transport;
    EXPECT_EQ(parsed.destinations, (QList<ForwardDestination>{{T::Udp, u"logs.example.net"_s, 514},
                                                             {T::Tcp, u"::1"_s, 6514},
                                                             {T::Tcp, u"10.0.0.1"_s, 601}}));
    EXPECT_EQ(parsed.destinations.value(1).text(), QStringLiteral("tcp://[::1]:6514"));
    const QStringList rejected = {u"ftp://h:1"_s,         u"udp://h"_s,       u"udp://h:70000"_s,
                                  u"tcp://1.2.3.999:5"_s, u"udp://::1:514"_s, u"udp://bad_-.name-:5"_s,
                                  u"udp://logs.example.net:514"_s};
    ASSERT_EQ(parsed.errors.size(), rejected.size()) << parsed.errors.join(u'\n').toStdString();
    for (qsizetype i = 0; i < rejected.size(); ++i)
        EXPECT_TRUE(parsed.errors[i].contains(u'"' + rejected[i] + u'"')) << parsed.errors[i].toStdString();
    EXPECT_TRUE(parseForwardDestinations(QStringLiteral(" \t ")).destinations.isEmpty());
}
