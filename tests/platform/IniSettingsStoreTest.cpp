#include "platform/IniSettingsStore.h"

#include <QFile>
#include <QPoint>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class IniSettingsStoreTest : public ::testing::Test {
protected:
    QString path() const { return dir_.filePath(QStringLiteral("varare.conf")); }

    void writeFile(const QByteArray& content) const
    {
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QByteArray fileContent() const
    {
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir dir_;
};

} // namespace

TEST_F(IniSettingsStoreTest, WritesTextValuesUnderGeneral)
{
    IniSettingsStore store(path());
    ASSERT_TRUE(store.write(QStringLiteral("port"), QStringLiteral("80.5")));
    ASSERT_TRUE(store.write(QStringLiteral("msgfilter"), QStringLiteral("0")));

    EXPECT_EQ(fileContent(), "[General]\nmsgfilter=0\nport=80.5\n");
    EXPECT_EQ(store.read(QStringLiteral("port")), QStringLiteral("80.5"));
    EXPECT_EQ(IniSettingsStore(path()).read(QStringLiteral("msgfilter")), QStringLiteral("0"));
}

TEST_F(IniSettingsStoreTest, ReadRules)
{
    const QByteArray longest(IniSettingsStore::kMaxValueBytes, '7');
    writeFile("[General]\nport=515\nlist=1, 2\nempty=\nlongest=" + longest + "\ntoolong=" + longest + "7\n");
    {
        QSettings writer(path(), QSettings::IniFormat);
        writer.setValue(QStringLiteral("number"), 600);
        writer.setValue(QStringLiteral("point"), QPoint(1, 2));
        writer.setValue(QStringLiteral("bytes"), QByteArray("514"));
    }
    const IniSettingsStore store(path());

    EXPECT_EQ(store.read(QStringLiteral("port")), QStringLiteral("515"));
    EXPECT_EQ(store.read(QStringLiteral("number")), QStringLiteral("600"));
    EXPECT_EQ(store.read(QStringLiteral("missing")), QString());
    EXPECT_EQ(store.read(QStringLiteral("empty")), QString());
    EXPECT_EQ(store.read(QStringLiteral("list")), QString());
    EXPECT_EQ(store.read(QStringLiteral("point")), QString());
    EXPECT_EQ(store.read(QStringLiteral("bytes")), QString());
    EXPECT_EQ(store.read(QStringLiteral("longest")), QString::fromLatin1(longest));
    EXPECT_EQ(store.read(QStringLiteral("toolong")), QString());
}

TEST_F(IniSettingsStoreTest, MissingFileReadsEmptyAndIsCreatedByTheFirstWrite)
{
    IniSettingsStore store(dir_.filePath(QStringLiteral("sub/varare.conf")));
    EXPECT_EQ(store.read(QStringLiteral("port")), QString());
    EXPECT_TRUE(store.write(QStringLiteral("port"), QStringLiteral("600")));
    EXPECT_TRUE(QFile::exists(dir_.filePath(QStringLiteral("sub/varare.conf"))));
}

TEST_F(IniSettingsStoreTest, WriteReportsAStoreThatCannotBeWritten)
{
    writeFile("not a directory");
    IniSettingsStore store(path() + QStringLiteral("/varare.conf"));
    EXPECT_FALSE(store.write(QStringLiteral("port"), QStringLiteral("600")));
}

TEST(IniSettingsStoreDefault, LivesInTheUserConfigurationDirectory)
{
    EXPECT_EQ(IniSettingsStore::defaultPath(), qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/varare.conf"));
}
