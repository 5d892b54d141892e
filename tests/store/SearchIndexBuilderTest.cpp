#include "store/Compaction.h"
#include "store/SearchIndex.h"
#include "store/SearchIndexBuilder.h"
#include "tests/store/StoreFixture.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

class SearchIndexBuilderTest : public StoreFixture {
protected:
    void createDayWithRows(const QString& day, int rows)
    {
        createDay(day);
        std::vector<std::array<QString, 3>> texts;
        for (int i = 0; i < rows; ++i)
            texts.push_back({day + u" 10:00:00"_s, u"10.0.0.%1"_s.arg(i % 9), u"message %1 of %2"_s.arg(i).arg(day)});
        insertRows(day, texts);
    }

    QStringList indexedTables() { return SearchIndex(dir_.path(), SearchIndex::Mode::Read).indexedTables(); }
};

TEST_F(SearchIndexBuilderTest, IndexesClosedDaysOnlyAndForgetsTablesThatAreGone)
{
    for (const QString& day : {u"2026-12-04"_s, u"2026-12-05"_s, today()})
        createDayWithRows(day, 700);
    SearchIndexBuilder builder(engine_, dir_.path(), clock_);
    ASSERT_TRUE(builder.waitUntilIdle(30000));
    EXPECT_EQ(indexedTables(), (QStringList{u"syslog-2026-12-04"_s, u"syslog-2026-12-05"_s}));

    connect()->execute(u"DROP TABLE \"syslog-2026-12-04\""_s);
    // The next day: yesterday is closed now.
    clock_.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1)));
    builder.wake();
    ASSERT_TRUE(builder.waitUntilIdle(30000));
    EXPECT_EQ(indexedTables(), (QStringList{u"syslog-2026-12-05"_s, u"syslog-2026-12-06"_s}));
}

TEST_F(SearchIndexBuilderTest, PausedItLetsTheCleanerHaveTheDatabaseAlone)
{
    for (const QString& day : {u"2026-12-01"_s, u"2026-12-02"_s, u"2026-12-03"_s})
        createDayWithRows(day, 3000);
    SearchIndexBuilder builder(engine_, dir_.path(), clock_);
    // Whether it is still building or done, a pause lets go of the files at once.
    builder.pause();
    const Result<Compacted> compacted = compactDatabaseFile(engine_, database_.path(), dir_.path());
    EXPECT_TRUE(compacted) << compacted.error().toStdString();
    builder.resume();
    ASSERT_TRUE(builder.waitUntilIdle(30000));
    EXPECT_EQ(indexedTables().size(), 3);
}

TEST_F(SearchIndexBuilderTest, EntriesThatNoLongerFitTheirTableAreRebuilt)
{
    createDayWithRows(u"2026-12-04"_s, 100);
    {
        SearchIndexBuilder builder(engine_, dir_.path(), clock_);
        ASSERT_TRUE(builder.waitUntilIdle(30000));
    }
    const auto entry = [this] { return *SearchIndex(dir_.path(), SearchIndex::Mode::Read).day(u"syslog-2026-12-04"_s); };
    const IndexedDay before = entry();
    EXPECT_EQ(before.rows, 100);
    EXPECT_TRUE(checkIndexedDay(*connect(), before).valid);

    // The last row indexed is gone: a row added later could take its rowid.
    connect()->execute(u"DELETE FROM \"syslog-2026-12-04\" WHERE rowid = 100"_s);
    EXPECT_FALSE(checkIndexedDay(*connect(), before).valid);
    SearchIndexBuilder builder(engine_, dir_.path(), clock_);
    ASSERT_TRUE(builder.waitUntilIdle(30000));
    EXPECT_EQ(entry().rows, 99);
    EXPECT_TRUE(checkIndexedDay(*connect(), entry()).valid);
}

TEST_F(SearchIndexBuilderTest, HoldsOffWhileIntakeIsBusyAndGoesOnAfterAQuietSecond)
{
    SearchIndexBuilder builder(engine_, dir_.path(), clock_);
    ASSERT_TRUE(builder.waitUntilIdle(30000));
    builder.noteIntakeSecond(SearchIndexBuilder::kBusyRecordsPerSecond);
    createDayWithRows(u"2026-12-05"_s, 700);
    builder.wake();
    QTRY_VERIFY(builder.holdingOff());
    EXPECT_FALSE(builder.idle());
    EXPECT_TRUE(indexedTables().isEmpty());
    // Still busy: it holds on; a pause still lets go at once.
    builder.noteIntakeSecond(SearchIndexBuilder::kBusyRecordsPerSecond * 50);
    builder.pause();
    EXPECT_FALSE(builder.holdingOff());
    builder.resume();
    QTRY_VERIFY(builder.holdingOff());

    builder.noteIntakeSecond(SearchIndexBuilder::kBusyRecordsPerSecond - 1);
    ASSERT_TRUE(builder.waitUntilIdle(30000));
    EXPECT_EQ(indexedTables(), QStringList{u"syslog-2026-12-05"_s});
}

TEST(BlockSetTest, PostingsReadBackAsWrittenAndDamagedOnesAsEveryBlock)
{
    for (const std::vector<std::uint32_t>& blocks :
         {std::vector<std::uint32_t>{}, {0}, {3, 200, 201, 999}, [] {
              std::vector<std::uint32_t> dense;
              for (std::uint32_t b = 0; b < 1000; b += 2)
                  dense.push_back(b);
              return dense;
          }()}) {
        const QByteArray posting = BlockSet::encode(blocks, 1000);
        const BlockSet set = BlockSet::decode(posting.constData(), std::size_t(posting.size()), 1000);
        EXPECT_EQ(set.count(), blocks.size());
        for (const std::uint32_t block : blocks)
            EXPECT_TRUE(set.contains(block));
    }
    const QByteArray beyond = BlockSet::encode({5, 1500}, 2000);
    EXPECT_EQ(BlockSet::decode(beyond.constData(), std::size_t(beyond.size()), 1000).count(), 1000U);
    const QByteArray cut = BlockSet::encode({5, 900}, 1000).chopped(1);
    EXPECT_EQ(BlockSet::decode(cut.constData(), std::size_t(cut.size()), 1000).count(), 1000U);
}

} // namespace
