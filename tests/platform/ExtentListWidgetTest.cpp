#include "platform/ui/ExtentListWidget.h"

#include <QApplication>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

namespace {

// A shown list, so that scroll bars and viewport sizes take part for real.
struct ShownList {
    ShownList()
    {
        list.resize(400, 200);
        list.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&list));
    }
    ExtentListWidget list;
};

} // namespace

TEST(ExtentListWidget, RangeFollowsTheProgramSetExtentNotTheText)
{
    ShownList shown;
    shown.list.addItem(QString(300, QLatin1Char('x')));
    QApplication::processEvents();
    EXPECT_FALSE(shown.list.hasHorizontalScrollBar());

    shown.list.setHorizontalExtent(horizontalExtentFor(100));
    QApplication::processEvents();
    EXPECT_TRUE(shown.list.hasHorizontalScrollBar());
    EXPECT_EQ(shown.list.horizontalExtent(), 720);
    const int visible = shown.list.viewport()->width();
    EXPECT_EQ(shown.list.horizontalScrollBar()->maximum(), 720 - visible);

    // A range narrower than the list scrolls nothing but keeps the bar.
    shown.list.setHorizontalExtent(horizontalExtentFor(10));
    QApplication::processEvents();
    EXPECT_EQ(shown.list.horizontalScrollBar()->maximum(), 0);
    EXPECT_TRUE(shown.list.horizontalScrollBar()->isVisible());

    shown.list.setHorizontalExtent(0);
    EXPECT_EQ(shown.list.horizontalExtent(), 90);
}

TEST(ExtentListWidget, LongLinesArrivingOneByOneSettleWithoutEndlessRelayout)
{
    // Lines longer and shorter than the list, each followed by a selection of
    // the newest line, as the live list does: this once recursed until the
    // stack ran out when the bar appeared and disappeared with every layout.
    ShownList shown;
    for (int length : {20, 80, 30, 200, 60, 400, 10}) {
        shown.list.addItem(QString(length, QLatin1Char('m')));
        shown.list.setHorizontalExtent(horizontalExtentFor(length));
        shown.list.setCurrentRow(shown.list.count() - 1);
        QApplication::processEvents();
    }
    EXPECT_EQ(shown.list.count(), 7);
    EXPECT_EQ(shown.list.horizontalScrollBar()->maximum(),
              qMax(0, horizontalExtentFor(10) - shown.list.viewport()->width()));
}
