// The TCP intake alone over real local connections, its clock stepped by hand.
#include "intake/TcpIntake.h"
#include "net/TlsCredentials.h"

#include "tests/support/Fakes.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/UdpPorts.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

class TcpIntakeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (;;) {
            const quint16 port = unusedUdpPort();
            if (intake_.listen(port)) {
                port_ = port;
                break;
            }
        }
    }

    std::unique_ptr<QTcpSocket> connectFrom(const QString& address)
    {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(address), 0);
        socket->connectToHost(QHostAddress::LocalHost, port_);
        EXPECT_TRUE(socket->waitForConnected(10000)) << socket->errorString().toStdString();
        return socket;
    }
    // Sends bytes and waits until the intake has read them.
    void send(QTcpSocket& socket, const QByteArray& bytes)
    {
        const qint64 before = intake_.counts().bytes;
        socket.write(bytes);
        ASSERT_TRUE(QTest::qWaitFor([&] { return intake_.counts().bytes == before + bytes.size(); }, 10000));
    }
    static bool closedByIntake(QTcpSocket& socket)
    {
        return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 10000);
    }

    FakeClock clock_;
    QStringList delivered_;
    // Called when a message is handed on; the default takes it.
    std::function<void()> onDeliver_;
    TcpIntake intake_{[this](const QByteArray& message, const QString& peer) {
                          delivered_ << peer + u' ' + QString::fromLatin1(message);
                          if (onDeliver_)
                              onDeliver_();
                          return true;
                      },
                      clock_, TcpIntakeOptions{.maxConnections = 4, .maxConnectionsPerAddress = 2}};
    quint16 port_ = 0;
};

} // namespace

TEST_F(TcpIntakeTest, OneAddressAtItsLimitIsRefusedMoreWhileOthersGetIn)
{
    auto first = connectFrom(u"127.0.0.2"_s);
    auto second = connectFrom(u"127.0.0.2"_s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return intake_.connectionCount() == 2; }, 10000));
    auto third = connectFrom(u"127.0.0.2"_s);
    EXPECT_TRUE(closedByIntake(*third));
    EXPECT_EQ(intake_.counts().refusedPerAddress, 1);
    EXPECT_TRUE(intake_.lastTrouble().startsWith(u"127.0.0.2: more than 2 connections"_s));

    auto other = connectFrom(u"127.0.0.3"_s);
    send(*other, "<14>host info: from another address\n");
    EXPECT_EQ(delivered_, QStringList{u"127.0.0.3 <14>host info: from another address"_s});

    // A connection that ends gives its address room again.
    first->disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return intake_.connectionCount() == 2; }, 10000));
    auto again = connectFrom(u"127.0.0.2"_s);
    send(*again, "<14>host info: again\n");
    EXPECT_EQ(intake_.counts().refusedPerAddress, 1);
    EXPECT_EQ(intake_.counts().accepted, 4);
    EXPECT_EQ(second->state(), QAbstractSocket::ConnectedState);
}

TEST_F(TcpIntakeTest, AMessageSlowerThanItsDeadlineClosesItsConnectionWhileBusySendersStay)
{
    auto slow = connectFrom(u"127.0.0.2"_s);
    auto busy = connectFrom(u"127.0.0.3"_s);
    send(*slow, "<14>host info: whole\n<14>host info: a byte at a ti");
    for (int step = 0; step < 3; ++step) {
        clock_.advanceSeconds(25);
        send(*slow, "m");
        send(*busy, "<14>host info: in time " + QByteArray::number(step) + '\n');
        intake_.sweep();
    }
    // 75 s after its first byte, never idle, the slow message is past its minute.
    EXPECT_TRUE(closedByIntake(*slow));
    EXPECT_EQ(intake_.counts().slow, 1);
    EXPECT_EQ(busy->state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(delivered_, (QStringList{u"127.0.0.2 <14>host info: whole"_s, u"127.0.0.3 <14>host info: in time 0"_s,
                                       u"127.0.0.3 <14>host info: in time 1"_s, u"127.0.0.3 <14>host info: in time 2"_s}));

    // A message taking 50 s of a connection idle before it is in time.
    send(*busy, "<14>host info: begun");
    clock_.advanceSeconds(50);
    intake_.sweep();
    send(*busy, " and ended\n");
    EXPECT_EQ(delivered_.last(), u"127.0.0.3 <14>host info: begun and ended"_s);
    clock_.advanceSeconds(10 * 60);
    intake_.sweep();
    EXPECT_TRUE(closedByIntake(*busy));
    EXPECT_EQ(intake_.counts().idle, 1);
}

// Over TLS a connection counts against the limits from its first moment,
// before its handshake: one that never completes it holds its slot only for
// the minute a message may take, and is counted as refused at the handshake.
TEST_F(TcpIntakeTest, ATlsHandshakeThatNeverCompletesHoldsASlotOnlyUntilTheDeadline)
{
    const TestCertificates certificates;
    ASSERT_TRUE(certificates.ok()) << certificates.error().toStdString();
    const Result<TlsIdentity> identity
        = loadTlsIdentity(certificates.certificate(u"server"_s), certificates.key(u"server"_s));
    ASSERT_TRUE(identity) << identity.error().toStdString();
    TcpIntake tls([](const QByteArray&, const QString&) { return true; }, clock_,
                  TcpIntakeOptions{.maxConnections = 4, .maxConnectionsPerAddress = 1});
    tls.setTls(tlsServerConfiguration(*identity, {}));
    while (!tls.listen(unusedUdpPort())) {}
    port_ = tls.listeningPort();

    auto silent = connectFrom(u"127.0.0.2"_s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return tls.connectionCount() == 1; }, 10000));
    auto second = connectFrom(u"127.0.0.2"_s);
    EXPECT_TRUE(closedByIntake(*second));
    EXPECT_EQ(tls.counts().refusedPerAddress, 1);
    clock_.advanceSeconds(59);
    tls.sweep();
    EXPECT_EQ(silent->state(), QAbstractSocket::ConnectedState);
    clock_.advanceSeconds(1);
    tls.sweep();
    EXPECT_TRUE(closedByIntake(*silent));
    EXPECT_EQ(tls.counts().handshakeFailed, 1);
    EXPECT_EQ(tls.lastTrouble(), u"127.0.0.2: the TLS handshake failed (not completed within 60 s)."_s);
}

TEST_F(TcpIntakeTest, AnOctetCountLongerThanItsMessageSwallowsTheNextAndIsCountedAtTheEnd)
{
    auto sender = connectFrom(u"127.0.0.2"_s);
    send(*sender, "<14>host info: before\n100 <14>host info: short\n<14>host info: swallowed\n");
    sender->disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return intake_.connectionCount() == 0; }, 10000));
    EXPECT_EQ(delivered_, QStringList{u"127.0.0.2 <14>host info: before"_s});
    EXPECT_EQ(intake_.counts().incomplete, 1);
    EXPECT_TRUE(intake_.lastTrouble().startsWith(u"127.0.0.2: a message was still short of its octet count"_s));
}

TEST_F(TcpIntakeTest, PausedItHandsOnNothingAndReadsNothingThenGoesOnInOrderAndEndsWhatEndedMeanwhile)
{
    auto sender = connectFrom(u"127.0.0.2"_s);
    // Storing fails at the second message of a chunk: the rest waits.
    onDeliver_ = [this] {
        if (delivered_.size() == 2)
            intake_.setPaused(true);
    };
    send(*sender, "<14>m1\n<14>m2\n<14>m3\n<14>m4\n");
    EXPECT_EQ(delivered_.size(), 2);
    EXPECT_TRUE(intake_.isPaused());

    const qint64 readBefore = intake_.counts().bytes;
    sender->write("<14>m5\n<14>m6 without its end");
    sender->disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return sender->state() == QAbstractSocket::UnconnectedState; }, 10000));
    // Paused for longer than the deadline and the idle time: neither counts.
    clock_.advanceSeconds(20 * 60);
    intake_.sweep();
    EXPECT_EQ(intake_.counts().bytes, readBefore);
    EXPECT_EQ(delivered_.size(), 2);
    EXPECT_EQ(intake_.connectionCount(), 1);

    onDeliver_ = {};
    intake_.setPaused(false);
    EXPECT_EQ(delivered_.size(), 2); // not inside the call: from the event loop
    ASSERT_TRUE(QTest::qWaitFor([&] { return intake_.connectionCount() == 0; }, 10000));
    EXPECT_EQ(delivered_, (QStringList{u"127.0.0.2 <14>m1"_s, u"127.0.0.2 <14>m2"_s, u"127.0.0.2 <14>m3"_s,
                                       u"127.0.0.2 <14>m4"_s, u"127.0.0.2 <14>m5"_s,
                                       u"127.0.0.2 <14>m6 without its end"_s}));
    EXPECT_EQ(intake_.counts().slow + intake_.counts().idle + intake_.counts().incomplete, 0);
}
