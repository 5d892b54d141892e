#include "cleaner/ui/CleanerWindow.h"
#include "platform/Language.h"
#include "platform/SqliteEngine.h"
#include "store/LogDatabase.h"
#include "tests/support/Fakes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QFontMetrics>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

class CleanerWindowTest : public ::testing::Test {
protected:
    QString daysAgo(int days) const { return clock_.now().date().addDays(-days).toString(QStringLiteral("yyyy-MM-dd")); }
    QString today() const { return daysAgo(0); }

    void createTable(const QString& name, int rows = 0)
    {
        const auto connection = engine_.open(database_.path(), DbEngine::OpenMode::CreateIfMissing);
        connection->execute(QStringLiteral("CREATE TABLE %1 (ID INTEGER PRIMARY KEY, 时间 TEXT, IP地址 TEXT, 信息 TEXT)")
                                .arg(quoteName(name)));
        connection->begin();
        const auto insert =
            connection->prepare(QStringLiteral("INSERT INTO %1 (信息) VALUES (?)").arg(quoteName(name)));
        for (int i = 0; i < rows; ++i)
            insert->runTexts({QStringLiteral("a logged message number %1").arg(i).repeated(6)});
        connection->commit();
    }
    void createDays(const QStringList& days, int rows = 0)
    {
        for (const QString& day : days)
            createTable(dayTableName(day), rows);
    }
    void dropTableBehindTheWindow(const QString& day)
    {
        engine_.open(database_.path())->execute(QStringLiteral("DROP TABLE ") + quoteName(dayTableName(day)));
    }
    QStringList tablesInFile()
    {
        QStringList names;
        for (const TableInfo& table : engine_.open(database_.path())->tables())
            if (table.type == QLatin1String("TABLE"))
                names << table.name;
        return names;
    }

    std::unique_ptr<CleanerWindow> openWindow(Language language = Language::Chinese)
    {
        useLanguage(language);
        auto window = std::make_unique<CleanerWindow>(database_, engine_, dialogs_, clock_, [this] { ++closedCount_; });
        window->show();
        return window;
    }
    static void click(CleanerWindow& window, const char* name)
    {
        QPushButton* command = window.findChild<QPushButton*>(QString::fromUtf8(name));
        ASSERT_NE(command, nullptr) << name;
        command->click();
        // Dropping and compacting run off the window's thread.
        ASSERT_TRUE(QTest::qWaitFor([&] { return !window.isBusy(); }, 20000));
    }
    static void markByHand(CleanerWindow& window, const QString& day)
    {
        auto* list = window.findChild<QListWidget*>(QStringLiteral("日志总览"));
        ASSERT_NE(list, nullptr);
        const QList<QListWidgetItem*> found = list->findItems(day, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1) << day.toStdString();
        found.front()->setCheckState(Qt::Checked);
    }

    QTemporaryDir dir_;
    SqliteEngine engine_;
    FakeClock clock_;
    FakeDialogs dialogs_;
    LogDatabase database_{engine_, dir_.path(), clock_};
    int closedCount_ = 0;
};

TEST_F(CleanerWindowTest, ListsTheStoredDaysOldestFirstWithoutTheNewest)
{
    createDays({today(), daysAgo(40), daysAgo(3)});
    EXPECT_EQ(openWindow()->listedDays(), (QStringList{daysAgo(40), daysAgo(3)}));

    dropTableBehindTheWindow(daysAgo(40));
    dropTableBehindTheWindow(daysAgo(3));
    EXPECT_TRUE(openWindow()->listedDays().isEmpty());
}

// A foreign table sorts after the dates; it must not take the newest day's
// place as the hidden entry, or today's table could be dropped from here.
TEST_F(CleanerWindowTest, ForeignTableNeverUncoversTheNewestDay)
{
    createDays({today(), daysAgo(2)});
    createTable(QStringLiteral("zz_archive"));

    const QStringList listed = openWindow()->listedDays();

    EXPECT_FALSE(listed.contains(today()));
    EXPECT_EQ(listed, (QStringList{daysAgo(2), QStringLiteral("zz_archive")}));
}

// A foreign table whose name ends in a later date sorts after today's table;
// today's table must stay hidden all the same.
TEST_F(CleanerWindowTest, ForeignTableEndingInALaterDateNeverUncoversToday)
{
    createDays({daysAgo(3), today()});
    createTable(QStringLiteral("backup-2999-01-01"));

    const QStringList listed = openWindow()->listedDays();

    EXPECT_FALSE(listed.contains(today()));
    EXPECT_TRUE(listed.contains(daysAgo(3)));
}

TEST_F(CleanerWindowTest, AgeButtonsMarkExactlyTheDaysMoreThanNDaysOld)
{
    createDays({daysAgo(91), daysAgo(90), daysAgo(31), daysAgo(30), daysAgo(16), daysAgo(15), daysAgo(1), today()});
    createTable(QStringLiteral("archive"));
    const auto window = openWindow();

    click(*window, "十五天前");
    EXPECT_EQ(window->markedDays(), (QStringList{daysAgo(91), daysAgo(90), daysAgo(31), daysAgo(30), daysAgo(16)}));
    click(*window, "三十天前");
    EXPECT_EQ(window->markedDays(), (QStringList{daysAgo(91), daysAgo(90), daysAgo(31)}));
    click(*window, "九十天前");
    EXPECT_EQ(window->markedDays(), (QStringList{daysAgo(91)}));
}

TEST_F(CleanerWindowTest, AgeIsCountedInCalendarDaysFromTheClocksDate)
{
    createDays({daysAgo(16), daysAgo(15), today()});
    clock_.set(QDateTime(clock_.now().date(), QTime(0, 0, 1)));
    const auto window = openWindow();

    click(*window, "十五天前");
    EXPECT_EQ(window->markedDays(), QStringList{daysAgo(16)});

    clock_.set(QDateTime(clock_.now().date().addDays(1), QTime(0, 0, 0)));
    click(*window, "十五天前");
    EXPECT_EQ(window->markedDays(), window->listedDays());
}

TEST_F(CleanerWindowTest, AgeButtonClearsMarksSetByHand)
{
    createDays({daysAgo(45), daysAgo(10), daysAgo(1), today()});
    createTable(QStringLiteral("archive"));
    const auto window = openWindow();
    markByHand(*window, daysAgo(10));
    markByHand(*window, daysAgo(1));
    markByHand(*window, QStringLiteral("archive"));

    click(*window, "三十天前");

    EXPECT_EQ(window->markedDays(), QStringList{daysAgo(45)});
}

TEST_F(CleanerWindowTest, SelectAllThenDeleteKeepsOnlyTheNewestTable)
{
    createDays({daysAgo(60), daysAgo(20), daysAgo(2), today()}, 400);
    const qint64 sizeBefore = QFileInfo(database_.path()).size();
    const auto window = openWindow();

    click(*window, "全选");
    click(*window, "全选");
    EXPECT_EQ(window->markedDays(), window->listedDays());
    click(*window, "删除");

    EXPECT_TRUE(window->listedDays().isEmpty());
    EXPECT_EQ(tablesInFile(), QStringList{dayTableName(today())});
    EXPECT_LT(QFileInfo(database_.path()).size(), sizeBefore / 2);
    EXPECT_FALSE(QFileInfo::exists(QDir(dir_.path()).filePath(QStringLiteral("Temporal.mdb"))));
    EXPECT_TRUE(dialogs_.warnings.isEmpty());
    EXPECT_TRUE(dialogs_.messages.isEmpty());
}

TEST_F(CleanerWindowTest, DeleteWithNothingMarkedStillCompacts)
{
    createDays({daysAgo(5), daysAgo(4), today()}, 400);
    dropTableBehindTheWindow(daysAgo(4));
    const qint64 sizeBefore = QFileInfo(database_.path()).size();
    const auto window = openWindow();

    click(*window, "删除");

    EXPECT_LT(QFileInfo(database_.path()).size(), sizeBefore);
    EXPECT_EQ(window->listedDays(), QStringList{daysAgo(5)});
    EXPECT_EQ(tablesInFile(), (QStringList{dayTableName(daysAgo(5)), dayTableName(today())}));
    EXPECT_TRUE(dialogs_.warnings.isEmpty());
}

TEST_F(CleanerWindowTest, DayThatCannotBeDroppedIsReportedWhileTheOthersGo)
{
    createDays({daysAgo(40), daysAgo(30), daysAgo(20), today()}, 20);
    const auto window = openWindow(Language::English);
    click(*window, "全选");
    dropTableBehindTheWindow(daysAgo(30));
    createTable(QStringLiteral("archive"));

    click(*window, "删除");

    EXPECT_EQ(tablesInFile(), (QStringList{QStringLiteral("archive"), dayTableName(today())}));
    ASSERT_EQ(dialogs_.warnings.size(), 1);
    const QString report = dialogs_.warnings.front();
    EXPECT_TRUE(report.startsWith(QStringLiteral("The logs of these days could not be deleted"))) << report.toStdString();
    EXPECT_TRUE(report.contains(daysAgo(30) + QStringLiteral(": no such table"))) << report.toStdString();
    EXPECT_FALSE(report.contains(daysAgo(40)));
    EXPECT_FALSE(report.contains(daysAgo(20)));
    EXPECT_EQ(window->listedDays(), QStringList{QStringLiteral("archive")});
}

TEST_F(CleanerWindowTest, ChineseDropReportNamesTheFailedDay)
{
    createDays({daysAgo(40), today()});
    const auto window = openWindow();
    click(*window, "全选");
    dropTableBehindTheWindow(daysAgo(40));

    click(*window, "删除");

    ASSERT_EQ(dialogs_.warnings.size(), 1);
    EXPECT_TRUE(dialogs_.warnings.front().startsWith(QStringLiteral("以下日期的日志未能删除")));
    EXPECT_TRUE(dialogs_.warnings.front().contains(daysAgo(40)));
}

TEST_F(CleanerWindowTest, UnreadableDatabaseIsReportedAndTheWindowStaysUsable)
{
    QFile garbage(database_.path());
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();

    const auto window = openWindow(Language::English);

    EXPECT_TRUE(window->listedDays().isEmpty());
    ASSERT_EQ(dialogs_.warnings.size(), 1);
    EXPECT_TRUE(dialogs_.warnings.front().startsWith(QStringLiteral("Could not read the list of logs")));
    click(*window, "删除");
    EXPECT_GE(dialogs_.warnings.size(), 2);
}

TEST_F(CleanerWindowTest, CaptionsFollowTheLanguage)
{
    struct Expected {
        Language language;
        QStringList texts;  // window, 十五天前, 三十天前, 九十天前, 全选, 删除
    };
    const Expected languages[] = {
        {Language::Chinese, {u"清理日志"_s, u"十五天前"_s, u"三十天前"_s, u"九十天前"_s, u"全选"_s, u"删除"_s}},
        {Language::English,
         {u"Clean logs"_s, u"15 days ago"_s, u"30 days ago"_s, u"90 days ago"_s, u"all"_s, u"delete"_s}},
    };
    const char* names[] = {"十五天前", "三十天前", "九十天前", "全选", "删除"};
    for (const Expected& language : languages) {
        const auto window = openWindow(language.language);
        EXPECT_EQ(window->windowTitle(), language.texts[0]);
        for (int i = 0; i < 5; ++i) {
            const QPushButton* command = window->findChild<QPushButton*>(QString::fromUtf8(names[i]));
            ASSERT_NE(command, nullptr) << names[i];
            EXPECT_EQ(command->text(), language.texts[i + 1]) << language.texts[0].toStdString() << " " << names[i];
            // The whole caption is readable within the designed button width.
            EXPECT_LE(QFontMetrics(command->font()).horizontalAdvance(command->text()), command->width())
                << language.texts[0].toStdString() << " " << names[i];
        }
    }
}

// The designed sizes are where the texts need no more room; the window
// cannot be resized either way.
TEST_F(CleanerWindowTest, WindowHasAFixedSizeAtLeastTheDesignedOneAndTheDeleteFont)
{
    const auto window = openWindow();

    EXPECT_EQ(window->objectName(), u"form4"_s);
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_GE(window->minimumWidth(), 173);
    EXPECT_EQ(window->minimumHeight(), 284);
    EXPECT_FALSE(window->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    const QPushButton* deleteCommand = window->findChild<QPushButton*>(QStringLiteral("删除"));
    ASSERT_NE(deleteCommand, nullptr);
    EXPECT_DOUBLE_EQ(deleteCommand->font().pointSizeF(), 10.5);
    const auto* list = window->findChild<QListWidget*>(QStringLiteral("日志总览"));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->geometry().topLeft(), QPoint(0, 0));
    EXPECT_EQ(list->height(), 284);
    EXPECT_GE(list->width(), 97);
    // The buttons keep their distance from the list and their designed tops and heights.
    EXPECT_EQ(deleteCommand->x() - list->geometry().right() - 1, 7);
    EXPECT_EQ(deleteCommand->y(), 240);
    EXPECT_EQ(deleteCommand->height(), 33);
    EXPECT_GE(deleteCommand->width(), 63);
    EXPECT_LE(deleteCommand->geometry().right(), window->width() - 1);
}

TEST_F(CleanerWindowTest, TabGoesFromTheListToDeleteAndThenThroughTheAgeButtons)
{
    const auto window = openWindow();
    QStringList order;
    QWidget* widget = window->findChild<QListWidget*>(QStringLiteral("日志总览"));
    ASSERT_NE(widget, nullptr);
    for (int step = 0; step < 6; ++step, widget = widget->nextInFocusChain()) {
        while (widget->focusPolicy() == Qt::NoFocus)
            widget = widget->nextInFocusChain();
        order << widget->objectName();
    }

    EXPECT_EQ(order, (QStringList{u"日志总览"_s, u"删除"_s, u"三十天前"_s, u"十五天前"_s, u"九十天前"_s, u"全选"_s}));
}

TEST_F(CleanerWindowTest, ClosingHandsTheDatabaseBackOnce)
{
    const auto window = openWindow();
    EXPECT_EQ(closedCount_, 0);

    window->close();
    window->close();

    EXPECT_EQ(closedCount_, 1);
    EXPECT_FALSE(window->isVisible());
}

// Compaction lets pending events run once before it starts; a close waiting
// among them must not hand the file back while the cleaner still works on it.
TEST_F(CleanerWindowTest, CloseArrivingDuringDeleteIsRefused)
{
    createDays({daysAgo(40), today()}, 50);
    const auto window = openWindow();
    bool closeAttempted = false;
    QMetaObject::invokeMethod(
        window.get(),
        [&] {
            closeAttempted = true;
            window->close();
        },
        Qt::QueuedConnection);

    click(*window, "全选");
    click(*window, "删除");

    EXPECT_TRUE(closeAttempted);
    EXPECT_EQ(closedCount_, 0);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->listedDays().isEmpty());
    window->close();
    EXPECT_EQ(closedCount_, 1);
}

} // namespace
