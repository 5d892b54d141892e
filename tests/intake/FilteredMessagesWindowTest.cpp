#include "intake/FilteredMessages.h"
#include "intake/ui/FilteredMessagesWindow.h"
#include "platform/ui/ExtentListWidget.h"

#include <QPointer>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

namespace {

const QDateTime kArrival(QDate(2026, 12, 6), QTime(13, 45, 10));

class FilteredMessagesWindowTest : public ::testing::Test {
protected:
    void reject(int count)
    {
        for (int i = 0; i < count; ++i) {
            ++rejected_;
            storeFilteredMessage(buffer_, kArrival.addSecs(rejected_), QStringLiteral("10.0.0.7"),
                                 QStringLiteral("<13>link %1").arg(rejected_));
        }
    }

    std::unique_ptr<FilteredMessagesWindow> openWindow()
    {
        auto window = std::make_unique<FilteredMessagesWindow>(buffer_);
        window->show();
        return window;
    }

    FilteredMessageBuffer buffer_;
    int rejected_ = 0;
};

} // namespace

TEST_F(FilteredMessagesWindowTest, IsBuiltWithItsNamesCaptionAndDesignSize)
{
    FilteredMessagesWindow window(buffer_);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("被过滤的信息"));
    EXPECT_TRUE(window.isWindow());
    EXPECT_EQ(window.size(), QSize(520, 297));
    EXPECT_EQ(window.findChild<ExtentListWidget*>(QStringLiteral("txtoutput")), &window.list());
    EXPECT_EQ(window.list().pos(), QPoint(0, 0));
    EXPECT_DOUBLE_EQ(window.list().font().pointSizeF(), 10.5);
    EXPECT_TRUE(window.list().font().families().contains(QStringLiteral("SimSun")));
    EXPECT_FALSE(window.isOpen());
}

TEST_F(FilteredMessagesWindowTest, OpeningListsTheBufferAndRefreshAppendsOnlyWhatIsNew)
{
    reject(5);
    auto window = openWindow();
    EXPECT_TRUE(window->isOpen());
    ASSERT_EQ(window->list().count(), 5);
    EXPECT_EQ(window->list().item(0)->text(), QStringLiteral("2026-12-06 13:45:11 IP:10.0.0.7 <13>link 1"));
    EXPECT_FALSE(buffer_.changed);

    const QListWidgetItem* firstLine = window->list().item(0);
    reject(3);
    window->refreshView();
    ASSERT_EQ(window->list().count(), 8);
    EXPECT_EQ(window->list().item(0), firstLine);
    EXPECT_EQ(window->list().item(7)->text(), QStringLiteral("2026-12-06 13:45:18 IP:10.0.0.7 <13>link 8"));
    EXPECT_EQ(window->shownCount(), 8);
    EXPECT_EQ(window->list().currentRow(), -1);
    EXPECT_EQ(window->list().verticalScrollBar()->value(), 0);
}

TEST_F(FilteredMessagesWindowTest, NewGenerationEmptiesTheListAndRefillsIt)
{
    reject(1990);
    auto window = openWindow();
    ASSERT_EQ(window->list().count(), 1990);

    reject(11); // fills the buffer to 2000, then the 2001st starts a new generation
    window->refreshView();
    EXPECT_EQ(window->list().count(), 0);
    EXPECT_EQ(window->shownGeneration(), 1);

    reject(2);
    window->refreshView();
    ASSERT_EQ(window->list().count(), 2);
    EXPECT_TRUE(window->list().item(0)->text().endsWith(QStringLiteral("<13>link 2002")));
}

TEST_F(FilteredMessagesWindowTest, ClosingMarksItClosedAndReopeningRebuilds)
{
    reject(4);
    auto window = openWindow();
    window->close();
    EXPECT_FALSE(window->isOpen());

    reject(2);
    window->show();
    EXPECT_TRUE(window->isOpen());
    EXPECT_EQ(window->list().count(), 6);

    window->close();
    auto fresh = openWindow();
    EXPECT_EQ(fresh->list().count(), 6);
    EXPECT_TRUE(fresh->isOpen());
}

TEST_F(FilteredMessagesWindowTest, DeletedOnCloseLeavesTheViewMarkedClosed)
{
    QPointer<FilteredMessagesWindow> window = new FilteredMessagesWindow(buffer_);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    EXPECT_TRUE(window->isOpen());
    window->close();
    QTRY_VERIFY(window.isNull());
}

TEST_F(FilteredMessagesWindowTest, ListFollowsTheWindowSizeOnlyAboveTheMinimum)
{
    auto window = openWindow();
    window->resize(600, 400);
    QTRY_COMPARE(window->size(), QSize(600, 400));
    const QRect outer = window->frameGeometry();
    // outer width - 225 twips and outer height - 555 twips, at 15 twips a pixel
    EXPECT_EQ(window->list().size(), QSize(outer.width() - 15, outer.height() - 37));
    const QSize large = window->list().size();

    window->resize(600, 60); // at most 1520 twips high with any frame: too low for the rule
    QTRY_COMPARE(window->size(), QSize(600, 60));
    ASSERT_LE(window->frameGeometry().height() * 15, 1520);
    EXPECT_EQ(window->list().size(), large);
    EXPECT_EQ(window->list().pos(), QPoint(0, 0));
}
