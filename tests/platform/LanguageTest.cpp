#include "platform/Language.h"

#include <QCoreApplication>
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

TEST(LanguageTest, ChineseLocalesGiveChineseEveryOtherEnglish)
{
    for (const char* name : {"zh_CN", "zh", "zh_TW", "zh_HK", "zh_SG", "zh_CN.UTF-8", "zh_TW.Big5@stroke", "zh-hk",
                             "ZH_sg.GB2312"})
        EXPECT_EQ(languageForLocale(QString::fromLatin1(name)), Language::Chinese) << name;
    for (const char* name :
         {"zh_MO", "zh_MO.UTF-8", "en_US", "ja_JP", "ko", "de_DE.UTF-8", "C", "POSIX", "C.UTF-8", ""})
        EXPECT_EQ(languageForLocale(QString::fromLatin1(name)), Language::English) << name;
}

TEST(LanguageTest, MessagesLocaleFollowsLcAllThenLcMessagesThenLang)
{
    {
        LocaleEnvironment env("", "zh_TW.UTF-8", "en_US.UTF-8");
        EXPECT_EQ(messagesLocaleName(), QStringLiteral("zh_TW.UTF-8"));
    }
    {
        LocaleEnvironment env("zh", "en_US.UTF-8", "en_US.UTF-8");
        EXPECT_EQ(languageForLocale(messagesLocaleName()), Language::Chinese);
    }
    {
        LocaleEnvironment env("", "", "zh_MO.UTF-8");
        EXPECT_EQ(languageForLocale(messagesLocaleName()), Language::English);
    }
}

// The program's texts and Qt's own (the buttons of every dialog) change together.
TEST(LanguageTest, ChineseInstallsTheProgramsAndQtsTranslationsAndEnglishTakesThemAway)
{
    ASSERT_TRUE(useLanguage(Language::Chinese));
    EXPECT_EQ(languageInUse(), Language::Chinese);
    EXPECT_EQ(QCoreApplication::translate("MainWindow", "Cleaner"), QStringLiteral("清理"));
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));

    ASSERT_TRUE(useLanguage(Language::English));
    EXPECT_EQ(languageInUse(), Language::English);
    EXPECT_EQ(QCoreApplication::translate("MainWindow", "Cleaner"), QStringLiteral("Cleaner"));
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
}
