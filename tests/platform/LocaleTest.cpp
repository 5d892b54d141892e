#include "platform/Locale.h"

#include <gtest/gtest.h>
#include <map>

namespace {

// Sets locale variables for one test and puts the old values back afterwards.
class LocaleEnvironment {
public:
    LocaleEnvironment(const QByteArray& lcAll, const QByteArray& lcMessages, const QByteArray& lang)
    {
        set("LC_ALL", lcAll);
        set("LC_MESSAGES", lcMessages);
        set("LANG", lang);
    }
    ~LocaleEnvironment()
    {
        for (const auto& [name, value] : saved_) {
            if (value.isNull())
                qunsetenv(name.c_str());
            else
                qputenv(name.c_str(), value);
        }
    }

private:
    void set(const char* name, const QByteArray& value)
    {
        saved_[name] = qEnvironmentVariableIsSet(name) ? qgetenv(name) : QByteArray();
        qputenv(name, value);
    }
    std::map<std::string, QByteArray> saved_;
};

} // namespace

TEST(LocaleTest, PosixNamesMapToWindowsIdentifiersAndLanguage)
{
    struct Case {
        const char* name;
        int id;
        const char* mode;
    };
    const Case cases[] = {
        {"zh_CN", 2052, "cn"},         {"zh", 4, "cn"},           {"zh_TW", 1028, "cn"},
        {"zh_HK", 3076, "cn"},         {"zh_SG", 4100, "cn"},     {"en_US", 1033, "en"},
        {"ja_JP", 1041, "en"},         {"zh_CN.UTF-8", 2052, "cn"}, {"zh_TW.Big5@stroke", 1028, "cn"},
        {"zh-hk", 3076, "cn"},         {"C", 1033, "en"},         {"POSIX", 1033, "en"},
        {"C.UTF-8", 1033, "en"},       {"de_DE.UTF-8", 1031, "en"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(windowsLocaleId(QString::fromLatin1(c.name)), c.id) << c.name;
        EXPECT_EQ(languageModeFor(windowsLocaleId(QString::fromLatin1(c.name))), QLatin1String(c.mode)) << c.name;
    }
}

TEST(LocaleTest, UnlistedLocalesAreNeverChinese)
{
    for (const char* name : {"zh_MO", "xx_YY", "fr_CA", "ko"})
        EXPECT_EQ(languageModeFor(windowsLocaleId(QString::fromLatin1(name))), QStringLiteral("en")) << name;
}

TEST(LocaleTest, SystemLocaleFollowsLcAllThenLcMessagesThenLang)
{
    {
        LocaleEnvironment env("", "zh_TW.UTF-8", "en_US.UTF-8");
        EXPECT_EQ(systemPosixLocaleName(), QStringLiteral("zh_TW.UTF-8"));
        EXPECT_EQ(QtSystemLocale().localeId(), 1028);
    }
    {
        LocaleEnvironment env("zh", "en_US.UTF-8", "en_US.UTF-8");
        EXPECT_EQ(QtSystemLocale().localeId(), 4);
    }
    {
        LocaleEnvironment env("", "", "ja_JP.UTF-8");
        EXPECT_EQ(QtSystemLocale().localeId(), 1041);
    }
}
