#include "platform/QtUdpSocket.h"
#include "settings/ui/ServicePort.h"
#include "tests/support/FakeUdpSocket.h"
#include "tests/support/Fakes.h"

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

template <typename Socket>
class PortFixture : public ::testing::Test {
protected:
    void answer(std::initializer_list<QString> texts) { dialogs.answers.insert(dialogs.answers.end(), texts); }

    Socket socket;
    FakeSettingsStore store;
    FakeDialogs dialogs;
    ServicePort port{socket, store, dialogs};
};

class ServicePortTest : public PortFixture<FakeUdpSocket> {
protected:
    void SetUp() override
    {
        socket.setLocalPort(514);
        socket.bind();
    }
};

class ServicePortOnRealSocketTest : public PortFixture<QtUdpSocket> {};

} // namespace

TEST_F(ServicePortTest, ValidEntryIsStoredAsTypedAndBound)
{
    answer({QStringLiteral("65535")});
    port.changeServicePort();

    EXPECT_EQ(dialogs.prompts, QStringList{QStringLiteral("修改服务端口")});
    EXPECT_EQ(dialogs.promptCaptions, QStringList{QStringLiteral("输入框")});
    EXPECT_EQ(dialogs.promptDefaults, QStringList{QStringLiteral("514")});
    EXPECT_EQ(store.values.value(QStringLiteral("port")), QStringLiteral("65535"));
    EXPECT_EQ(socket.localPort(), 65535);
    EXPECT_TRUE(socket.isBound());
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST_F(ServicePortTest, OutOfRangeEntriesAskAgain)
{
    // 0.3, 0.5 and 65535.5 are inside 0..65536 but round to no port at all.
    answer({QStringLiteral("65536"), QStringLiteral("0"), QStringLiteral("-1"), QStringLiteral("0.3"),
            QStringLiteral("0.5"), QStringLiteral("65535.5"), QStringLiteral("600")});
    port.changeServicePort();

    EXPECT_EQ(dialogs.messages, QStringList(6, kInvalid));
    EXPECT_EQ(dialogs.prompts.size(), 7);
    EXPECT_EQ(store.values.value(QStringLiteral("port")), QStringLiteral("600"));
    EXPECT_EQ(socket.localPort(), 600);
    EXPECT_TRUE(socket.isBound());
}

TEST_F(ServicePortTest, NonNumericEntryAndCancelChangeNothing)
{
    for (const QString& entry : {QStringLiteral("abc"), QString()}) {
        dialogs.messages.clear();
        answer({entry});
        const int bindsBefore = socket.bindAttempts;
        port.changeServicePort();
        EXPECT_EQ(dialogs.messages, QStringList{kCancelled});
        EXPECT_TRUE(store.values.isEmpty());
        EXPECT_EQ(socket.bindAttempts, bindsBefore);
        EXPECT_TRUE(socket.isBound());
        EXPECT_EQ(socket.localPort(), 514);
    }
}

TEST_F(ServicePortTest, BusyPortIsStoredReportedWithTheTypedTextAndAskedAgain)
{
    socket.busyPorts.insert(600);
    answer({QStringLiteral(" 600 ")});
    port.changeServicePort();

    EXPECT_EQ(store.values.value(QStringLiteral("port")), QStringLiteral(" 600 "));
    EXPECT_EQ(dialogs.messages, (QStringList{QStringLiteral(" 600 ") + kBusySuffix, kCancelled}));
    EXPECT_EQ(dialogs.promptDefaults, (QStringList{QStringLiteral("514"), QStringLiteral("600")}));
    EXPECT_FALSE(socket.isBound());
}

TEST_F(ServicePortTest, StoreFailureIsReportedAndThePortStillChanges)
{
    store.writable = false;
    answer({QStringLiteral("80.5")});
    port.changeServicePort();

    EXPECT_EQ(dialogs.messages, QStringList{kWriteFailed});
    EXPECT_EQ(socket.localPort(), 80);
    EXPECT_TRUE(socket.isBound());
}

TEST_F(ServicePortTest, RepeatedInvalidEntriesDoNotExhaustTheStack)
{
    for (int i = 0; i < 1000000; ++i)
        dialogs.answers.push_back(QStringLiteral("0"));
    port.changeServicePort();
    EXPECT_EQ(dialogs.messages.size(), 1000001);
    EXPECT_EQ(dialogs.messages.last(), kCancelled);
}

TEST_F(ServicePortTest, StartupBindOfAStoredTextThatIsNoPortAsksForAnother)
{
    socket.close();
    for (const QString& stored : {QStringLiteral("abc"), QStringLiteral("0"), QStringLiteral("70000")}) {
        dialogs.messages.clear();
        EXPECT_FALSE(port.bindAtStartup(stored));
        EXPECT_EQ(dialogs.messages, (QStringList{stored + kBusySuffix, kCancelled}));
    }
    dialogs.messages.clear();
    answer({QStringLiteral("515")});
    EXPECT_TRUE(port.bindAtStartup(QStringLiteral("abc")));
    EXPECT_EQ(dialogs.messages, QStringList{QStringLiteral("abc") + kBusySuffix});
    EXPECT_EQ(socket.localPort(), 515);
}

TEST_F(ServicePortOnRealSocketTest, HalfEntryStoresTheTextAndBindsTheRoundedPort)
{
    const int free = freeEvenUdpPort();
    answer({QStringLiteral("%1.5").arg(free)});
    port.changeServicePort();

    EXPECT_EQ(store.values.value(QStringLiteral("port")), QStringLiteral("%1.5").arg(free));
    EXPECT_EQ(socket.localPort(), free);
    EXPECT_TRUE(socket.isBound());
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST_F(ServicePortOnRealSocketTest, StartupOnAPortHeldElsewhereFallsBackToThePrompt)
{
    QUdpSocket holder;
    ASSERT_TRUE(holder.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
    const QString held = QString::number(holder.localPort());
    const int free = freeEvenUdpPort();
    answer({held, QString::number(free)});

    EXPECT_TRUE(port.bindAtStartup(held));
    EXPECT_EQ(dialogs.messages, (QStringList{held + kBusySuffix, held + kBusySuffix}));
    EXPECT_EQ(dialogs.promptDefaults, (QStringList{held, held}));
    EXPECT_EQ(socket.localPort(), free);
    EXPECT_EQ(store.values.value(QStringLiteral("port")), QString::number(free));
}

TEST_F(ServicePortOnRealSocketTest, ThePortThisSocketAlreadyHoldsCanBeChosenAgain)
{
    const int free = freeEvenUdpPort();
    ASSERT_TRUE(port.bindAtStartup(QString::number(free)));
    answer({QString::number(free)});
    port.changeServicePort();
    EXPECT_TRUE(socket.isBound());
    EXPECT_TRUE(dialogs.messages.isEmpty());
}
