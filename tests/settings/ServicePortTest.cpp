#include "platform/QtUdpSocket.h"
#include "settings/ui/ServicePort.h"
#include "tests/support/FakeUdpSocket.h"
#include "tests/support/Fakes.h"

#include <QCoreApplication>
#include <QTest>
#include <QUdpSocket>
#include <gtest/gtest.h>

#include "tests/support/UdpPorts.h"

namespace {

const QString kCancelled = QStringLiteral("已取消修改端口！");
const QString kInvalid = QStringLiteral("输入端口不合法，请重新输入！");
const QString kBusySuffix = QStringLiteral("端口已被占用，请按F2修改服务端口！");
const QString kWriteFailed = QStringLiteral("创建注册表键值失败，请检查是否已允许本程序写注册表！");

// A free UDP port with an even number, so that "<port>.5" rounds to it.
int freeEvenUdpPort()
{
    for (;;) {
        const quint16 port = unusedUdpPort();
        if (port % 2 == 0)
            return port;
    }
}

// A socket as the port commands see the receiver's: each bind is answered
// later, from the event loop.
PortControl answering(ListeningPort& socket)
{
    return {[&socket] { return socket.localPort(); }, [&socket] { socket.close(); },
            [&socket](int port, std::function<void(PortControl::BindResult)> done) {
                const bool bound = socket.setLocalPort(port) && socket.bind();
                QMetaObject::invokeMethod(qApp, [done = std::move(done), bound] {
                    done(bound ? PortControl::BindResult::Bound : PortControl::BindResult::Failed);
                }, Qt::QueuedConnection);
            }};
}

template <typename Socket>
class PortFixture : public ::testing::Test {
protected:
    void answer(std::initializer_list<QString> texts) { dialogs_.answers.insert(dialogs_.answers.end(), texts); }
    // Runs F2 until the command has ended.
    void changeServicePort()
    {
        bool ended = false;
        port_.changeServicePort([&ended] { ended = true; });
        ASSERT_TRUE(QTest::qWaitFor([&ended] { return ended; }, 10000));
    }
    // Binds at startup until done; true when the socket ends up bound.
    bool bindAtStartup(const QString& portText)
    {
        bool ended = false;
        port_.bindAtStartup(portText, [&ended] { ended = true; });
        EXPECT_TRUE(QTest::qWaitFor([&ended] { return ended; }, 10000));
        return socket_.isBound();
    }

    Socket socket_;
    FakeSettingsStore store_;
    FakeDialogs dialogs_;
    ServicePort port_{answering(socket_), store_, dialogs_};
};

class ServicePortTest : public PortFixture<FakeUdpSocket> {
protected:
    void SetUp() override
    {
        socket_.setLocalPort(514);
        ASSERT_TRUE(socket_.bind());
    }
};

class ServicePortOnRealSocketTest : public PortFixture<QtUdpSocket> {};

} // namespace

TEST_F(ServicePortTest, ValidEntryIsStoredAsTypedAndBound)
{
    answer({QStringLiteral("65535")});
    changeServicePort();

    EXPECT_EQ(dialogs_.prompts, QStringList{QStringLiteral("修改服务端口")});
    EXPECT_EQ(dialogs_.promptCaptions, QStringList{QStringLiteral("输入框")});
    EXPECT_EQ(dialogs_.promptDefaults, QStringList{QStringLiteral("514")});
    EXPECT_EQ(store_.values.value(QStringLiteral("port")), QStringLiteral("65535"));
    EXPECT_EQ(socket_.localPort(), 65535);
    EXPECT_TRUE(socket_.isBound());
    EXPECT_TRUE(dialogs_.messages.isEmpty());
}

TEST_F(ServicePortTest, OutOfRangeEntriesAskAgain)
{
    // 0.3, 0.5 and 65535.5 are inside 0..65536 but round to no port at all.
    answer({QStringLiteral("65536"), QStringLiteral("0"), QStringLiteral("-1"), QStringLiteral("0.3"),
            QStringLiteral("0.5"), QStringLiteral("65535.5"), QStringLiteral("600")});
    changeServicePort();

    EXPECT_EQ(dialogs_.messages, QStringList(6, kInvalid));
    EXPECT_EQ(dialogs_.prompts.size(), 7);
    EXPECT_EQ(store_.values.value(QStringLiteral("port")), QStringLiteral("600"));
    EXPECT_EQ(socket_.localPort(), 600);
    EXPECT_TRUE(socket_.isBound());
}

TEST_F(ServicePortTest, NonNumericEntryAndCancelChangeNothing)
{
    for (const QString& entry : {QStringLiteral("abc"), QString()}) {
        dialogs_.messages.clear();
        answer({entry});
        const int bindsBefore = socket_.bindAttempts;
        changeServicePort();
        EXPECT_EQ(dialogs_.messages, QStringList{kCancelled});
        EXPECT_TRUE(store_.values.isEmpty());
        EXPECT_EQ(socket_.bindAttempts, bindsBefore);
        EXPECT_TRUE(socket_.isBound());
        EXPECT_EQ(socket_.localPort(), 514);
    }
}

TEST_F(ServicePortTest, BusyPortIsStoredReportedWithTheTypedTextAndAskedAgain)
{
    socket_.busyPorts.insert(600);
    answer({QStringLiteral(" 600 ")});
    changeServicePort();

    EXPECT_EQ(store_.values.value(QStringLiteral("port")), QStringLiteral(" 600 "));
    EXPECT_EQ(dialogs_.messages, (QStringList{QStringLiteral(" 600 ") + kBusySuffix, kCancelled}));
    EXPECT_EQ(dialogs_.promptDefaults, (QStringList{QStringLiteral("514"), QStringLiteral("600")}));
    EXPECT_FALSE(socket_.isBound());
}

TEST_F(ServicePortTest, StoreFailureIsReportedAndThePortStillChanges)
{
    store_.writable = false;
    answer({QStringLiteral("80.5")});
    changeServicePort();

    EXPECT_EQ(dialogs_.messages, QStringList{kWriteFailed});
    EXPECT_EQ(socket_.localPort(), 80);
    EXPECT_TRUE(socket_.isBound());
}

TEST_F(ServicePortTest, RepeatedInvalidEntriesDoNotExhaustTheStack)
{
    for (int i = 0; i < 1000000; ++i)
        dialogs_.answers.push_back(QStringLiteral("0"));
    changeServicePort();
    EXPECT_EQ(dialogs_.messages.size(), 1000001);
    EXPECT_EQ(dialogs_.messages.last(), kCancelled);
}

TEST_F(ServicePortTest, StartupBindOfAStoredTextThatIsNoPortAsksForAnother)
{
    socket_.close();
    for (const QString& stored : {QStringLiteral("abc"), QStringLiteral("0"), QStringLiteral("70000")}) {
        dialogs_.messages.clear();
        EXPECT_FALSE(bindAtStartup(stored));
        EXPECT_EQ(dialogs_.messages, (QStringList{stored + kBusySuffix, kCancelled}));
    }
    dialogs_.messages.clear();
    answer({QStringLiteral("515")});
    EXPECT_TRUE(bindAtStartup(QStringLiteral("abc")));
    EXPECT_EQ(dialogs_.messages, QStringList{QStringLiteral("abc") + kBusySuffix});
    EXPECT_EQ(socket_.localPort(), 515);
}

TEST_F(ServicePortOnRealSocketTest, HalfEntryStoresTheTextAndBindsTheRoundedPort)
{
    const int free = freeEvenUdpPort();
    answer({QStringLiteral("%1.5").arg(free)});
    changeServicePort();

    EXPECT_EQ(store_.values.value(QStringLiteral("port")), QStringLiteral("%1.5").arg(free));
    EXPECT_EQ(socket_.localPort(), free);
    EXPECT_TRUE(socket_.isBound());
    EXPECT_TRUE(dialogs_.messages.isEmpty());
}

TEST_F(ServicePortOnRealSocketTest, StartupOnAPortHeldElsewhereFallsBackToThePrompt)
{
    QUdpSocket holder;
    ASSERT_TRUE(holder.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
    const QString held = QString::number(holder.localPort());
    const int free = freeEvenUdpPort();
    answer({held, QString::number(free)});

    EXPECT_TRUE(bindAtStartup(held));
    EXPECT_EQ(dialogs_.messages, (QStringList{held + kBusySuffix, held + kBusySuffix}));
    EXPECT_EQ(dialogs_.promptDefaults, (QStringList{held, held}));
    EXPECT_EQ(socket_.localPort(), free);
    EXPECT_EQ(store_.values.value(QStringLiteral("port")), QString::number(free));
}

TEST_F(ServicePortOnRealSocketTest, ThePortThisSocketAlreadyHoldsCanBeChosenAgain)
{
    const int free = freeEvenUdpPort();
    ASSERT_TRUE(bindAtStartup(QString::number(free)));
    answer({QString::number(free)});
    changeServicePort();
    EXPECT_TRUE(socket_.isBound());
    EXPECT_TRUE(dialogs_.messages.isEmpty());
}
