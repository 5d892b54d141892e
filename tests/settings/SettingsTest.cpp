#include "settings/Settings.h"
#include "settings/ui/FilterSwitch.h"
#include "tests/support/Fakes.h"

#include <gtest/gtest.h>

namespace {
const QString kWriteFailed = QStringLiteral("创建注册表键值失败，请检查是否已允许本程序写注册表！");
}

TEST(LoadSettingsTest, EmptyStoreGivesPort514AndFilterOn)
{
    FakeSettingsStore store;
    const StartupSettings settings = loadSettings(store);
    EXPECT_EQ(settings.portText, QStringLiteral("514"));
    EXPECT_EQ(settings.filterEnabled, 1);
    EXPECT_TRUE(store.values.isEmpty());
}

TEST(LoadSettingsTest, StoredValuesAreUsedAndOnlyAZeroFilterValueTurnsTheFilterOff)
{
    FakeSettingsStore store;
    store.values[QStringLiteral("port")] = QStringLiteral(" 515 ");
    const std::pair<const char*, qint16> filters[] = {
        {"0", 0}, {"1", 1}, {"0.5", 0}, {"1.5", 1}, {"2", 1}, {"-1", 1}, {"abc", 1}, {"70000", 1}, {"-32769", 1},
    };
    for (const auto& [stored, expected] : filters) {
        store.values[QStringLiteral("msgfilter")] = QString::fromLatin1(stored);
        const StartupSettings settings = loadSettings(store);
        EXPECT_EQ(settings.portText, QStringLiteral(" 515 "));
        EXPECT_EQ(settings.filterEnabled, expected) << stored;
    }
}

TEST(LoadSettingsTest, TcpIsOnUnlessItReadsAsZeroForwardIsTakenAsStoredAndThePerAddressLimitIsAtLeastOne)
{
    FakeSettingsStore store;
    EXPECT_TRUE(loadTcpEnabled(store));
    EXPECT_TRUE(loadForwardSetting(store).isEmpty());
    const std::pair<const char*, bool> values[] = {{"0", false}, {" 0.4 ", false}, {"1", true}, {"0.6", true},
                                                   {"no", true}, {"70000", true}};
    for (const auto& [stored, expected] : values) {
        store.values[QStringLiteral("tcp")] = QString::fromLatin1(stored);
        EXPECT_EQ(loadTcpEnabled(store), expected) << stored;
    }
    store.values[QStringLiteral("forward")] = QStringLiteral(" udp://a:514  tcp://b:601");
    EXPECT_EQ(loadForwardSetting(store), QStringLiteral(" udp://a:514  tcp://b:601"));
    EXPECT_EQ(loadTcpConnectionsPerAddress(store), 32);
    const std::pair<const char*, qint32> perAddress[] = {{"8", 8}, {"1", 1}, {"0", 32}, {"-3", 32}, {"many", 32}};
    for (const auto& [stored, expected] : perAddress) {
        store.values[QStringLiteral("tcpperaddress")] = QString::fromLatin1(stored);
        EXPECT_EQ(loadTcpConnectionsPerAddress(store), expected) << stored;
    }
}

TEST(ToggleMessageFilterTest, TwiceStoresZeroThenOne)
{
    FakeSettingsStore store;
    FakeDialogs dialogs;
    qint16 filter = 1;
    toggleMessageFilter(filter, store, dialogs);
    EXPECT_EQ(filter, 0);
    EXPECT_EQ(store.values.value(QStringLiteral("msgfilter")), QStringLiteral("0"));
    toggleMessageFilter(filter, store, dialogs);
    EXPECT_EQ(filter, 1);
    EXPECT_EQ(store.values.value(QStringLiteral("msgfilter")), QStringLiteral("1"));
    filter = 2;
    toggleMessageFilter(filter, store, dialogs);
    EXPECT_EQ(filter, 0);
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST(ToggleMessageFilterTest, StoreFailureIsReportedAndTheFlagStaysFlipped)
{
    FakeSettingsStore store;
    store.writable = false;
    FakeDialogs dialogs;
    qint16 filter = 1;
    toggleMessageFilter(filter, store, dialogs);
    EXPECT_EQ(filter, 0);
    EXPECT_EQ(dialogs.messages, QStringList{kWriteFailed});
    EXPECT_TRUE(store.values.isEmpty());
}

TEST(LoadKeepDaysTest, WholeDaysOrZeroForKeepEverything)
{
    FakeSettingsStore store;
    EXPECT_EQ(loadKeepDays(store), 0);
    const std::pair<const char*, qint32> values[] = {
        {"30", 30}, {" 7 ", 7}, {"7.5", 8}, {"1e2", 100}, {"0", 0}, {"-5", 0},
        {"abc", 0}, {"", 0}, {"30 days", 0}, {"99999999999", 0},
    };
    for (const auto& [stored, expected] : values) {
        store.values[QStringLiteral("keepdays")] = QString::fromLatin1(stored);
        EXPECT_EQ(loadKeepDays(store), expected) << stored;
    }
    EXPECT_EQ(store.values.size(), 1);
}
