#include "platform/QtUdpSocket.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTest>
#include <QThread>
#include <QUdpSocket>
#include <gtest/gtest.h>

#include "tests/support/UdpPorts.h"

namespace {

constexpr int kWaitMs = 10000;

int freeUdpPort() { return unusedUdpPort(); }

// Sends datagrams to 127.0.0.1 from a socket of its own.
class Sender {
public:
    Sender() { socket_.bind(QHostAddress::LocalHost, 0); }
    void send(int port, const QByteArray& bytes)
    {
        ASSERT_EQ(socket_.writeDatagram(bytes, QHostAddress::LocalHost, quint16(port)), bytes.size());
    }

private:
    QUdpSocket socket_;
};

class QtUdpSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        socket_.setReceiver([this](const Datagram& datagram) {
            received_.push_back(datagram);
            deliveredOnUiThread_ = deliveredOnUiThread_ && QThread::currentThread() == qApp->thread();
        });
    }

    void bindFreePort()
    {
        port_ = freeUdpPort();
        ASSERT_TRUE(socket_.setLocalPort(port_));
        const Result<> bound = socket_.bind();
        ASSERT_TRUE(bound) << bound.error().toStdString();
    }

    bool waitForCount(size_t count)
    {
        return QTest::qWaitFor([&] { return received_.size() >= count; }, kWaitMs);
    }

    QtUdpSocket socket_;
    Sender sender_;
    std::vector<Datagram> received_;
    bool deliveredOnUiThread_ = true;
    int port_ = 0;
};

} // namespace

TEST_F(QtUdpSocketTest, BackToBackDatagramsArriveWholeInOrderWithSender)
{
    bindFreePort();
    const QByteArray large(60000, 'x');
    for (int i = 0; i < 20; ++i)
        sender_.send(port_, "<13>host message " + QByteArray::number(i));
    sender_.send(port_, large);

    ASSERT_TRUE(waitForCount(21));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(received_[i].bytes, "<13>host message " + QByteArray::number(i));
        EXPECT_EQ(received_[i].senderIp, QStringLiteral("127.0.0.1"));
    }
    EXPECT_EQ(received_[20].bytes, large);
    EXPECT_TRUE(deliveredOnUiThread_);
}

TEST_F(QtUdpSocketTest, FloodIsDeliveredCompletelyInOrderAcrossSlices)
{
    bindFreePort();
    if (socket_.receiveBufferBytes() < QtUdpSocket::kRequestedReceiveBufferBytes)
        GTEST_SKIP() << "the kernel granted only " << socket_.receiveBufferBytes() << " bytes of receive buffer";
    const int count = 3000;
    for (int i = 0; i < count; ++i)
        sender_.send(port_, QByteArray::number(i));

    ASSERT_TRUE(waitForCount(count));
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(received_[i].bytes, QByteArray::number(i));
}

TEST_F(QtUdpSocketTest, ReceiveBufferIsEnlargedBeyondTheDefault)
{
    QUdpSocket plain;
    plain.bind(QHostAddress::AnyIPv4, 0);
    const int defaultBytes = plain.socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
    EXPECT_EQ(socket_.receiveBufferBytes(), 0);
    bindFreePort();
    EXPECT_GT(socket_.receiveBufferBytes(), defaultBytes);
}

TEST_F(QtUdpSocketTest, PortOutsideTheValidRangeIsRefusedAndKeepsTheOldValue)
{
    ASSERT_TRUE(socket_.setLocalPort(514));
    for (int bad : {0, -1, 65536, 100000})
        EXPECT_FALSE(socket_.setLocalPort(bad)) << bad;
    EXPECT_EQ(socket_.localPort(), 514);
    EXPECT_TRUE(socket_.setLocalPort(1));
    EXPECT_TRUE(socket_.setLocalPort(65535));
}

TEST_F(QtUdpSocketTest, PortHeldByAnotherSocketFailsUntilReleased)
{
    port_ = freeUdpPort();
    const QAbstractSocket::BindMode holderModes[] = {
        QAbstractSocket::DontShareAddress, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint};
    for (const QAbstractSocket::BindMode sharing : holderModes) {
        QUdpSocket holder;
        ASSERT_TRUE(holder.bind(QHostAddress::AnyIPv4, quint16(port_), sharing));
        ASSERT_TRUE(socket_.setLocalPort(port_));
        const Result<> refused = socket_.bind();
        EXPECT_FALSE(refused);
        EXPECT_FALSE(refused.error().isEmpty());
        EXPECT_FALSE(socket_.isBound());
        EXPECT_EQ(socket_.localPort(), port_);
        holder.close();
        const Result<> bound = socket_.bind();
        EXPECT_TRUE(bound) << bound.error().toStdString();
        socket_.close();
    }
}

TEST_F(QtUdpSocketTest, CloseThenBindOnTheSamePortReceivesAgain)
{
    bindFreePort();
    socket_.close();
    EXPECT_FALSE(socket_.isBound());
    socket_.close(); // closing an unbound socket does nothing
    ASSERT_TRUE(socket_.bind());
    sender_.send(port_, "after rebind");
    ASSERT_TRUE(waitForCount(1));
    EXPECT_EQ(received_[0].bytes, "after rebind");
}

TEST_F(QtUdpSocketTest, CloseDeliversWhatArrivedBeforeAndNothingAfter)
{
    bindFreePort();
    for (int i = 0; i < 5; ++i)
        sender_.send(port_, "before " + QByteArray::number(i));

    socket_.close();
    ASSERT_EQ(received_.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(received_[i].bytes, "before " + QByteArray::number(i));

    sender_.send(port_, "after close");
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(received_.size(), 5u);
    EXPECT_EQ(socket_.pendingDeliveries(), 0);
}

TEST_F(QtUdpSocketTest, ReceiverRunningAnEventLoopIsNotEnteredAgain)
{
    int depth = 0;
    int deepest = 0;
    socket_.setReceiver([&](const Datagram& datagram) {
        deepest = std::max(deepest, ++depth);
        received_.push_back(datagram);
        if (received_.size() == 1) {
            // Like a modal box: the event loop runs inside the receiver while
            // further datagrams wait to be delivered.
            for (int i = 1; i <= 3; ++i)
                sender_.send(port_, QByteArray::number(i));
            EXPECT_TRUE(QTest::qWaitFor([&] { return socket_.pendingDeliveries() == 3; }, kWaitMs));
            QCoreApplication::processEvents();
        }
        --depth;
    });
    bindFreePort();
    sender_.send(port_, "0");

    ASSERT_TRUE(waitForCount(4));
    EXPECT_EQ(deepest, 1);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(received_[i].bytes, QByteArray::number(i));
}

TEST(QtUdpSocketLifetime, DestroyingWithUndeliveredDatagramsCallsNoReceiver)
{
    int calls = 0;
    const int port = freeUdpPort();
    Sender sender;
    {
        QtUdpSocket socket;
        socket.setReceiver([&](const Datagram&) { ++calls; });
        ASSERT_TRUE(socket.setLocalPort(port));
        ASSERT_TRUE(socket.bind());
        sender.send(port, "left behind");
        // Waits for the worker without running the event loop, which would deliver.
        const QDeadlineTimer deadline(kWaitMs);
        while (socket.pendingDeliveries() < 1 && !deadline.hasExpired())
            QThread::yieldCurrentThread();
        ASSERT_EQ(socket.pendingDeliveries(), 1);
    }
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 0);
}
