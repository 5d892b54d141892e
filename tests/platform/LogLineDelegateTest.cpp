#include "ExtentListWidget.h"
#include "LogLineDelegate.h"

#include <QImage>
#include <QTest>
#include <cmath>
#include <gtest/gtest.h>

namespace {

// WCAG contrast ratio of two colours (1 to 21).
double contrast(const QColor& a, const QColor& b)
{
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool isReddish(const QColor& c) { return c.red() > 150 && c.green() < 120 && c.blue() < 120; }
bool isAmber(const QColor& c) { return c.red() > 140 && c.green() > 70 && c.green() < c.red() && c.blue() < 80; }

struct Drawn {
    QColor text;
    QColor highlightedText;
    QSize size;
};

Drawn drawnAs(ExtentListWidget& list, int row, bool selected)
{
    auto* delegate = dynamic_cast<LogLineDelegate*>(list.itemDelegate());
    EXPECT_NE(delegate, nullptr);
    QStyleOptionViewItem option;
    option.initFrom(&list);
    option.state |= QStyle::State_Active;
    if (selected)
        option.state |= QStyle::State_Selected;
    const QModelIndex index = list.model()->index(row, 0);
    const QSize size = delegate->sizeHint(option, index);
    delegate->initStyleOption(&option, index);
    return {option.palette.color(QPalette::Active, QPalette::Text),
            option.palette.color(QPalette::Active, QPalette::HighlightedText), size};
}

// Whether any pixel of a line's row, as drawn on screen, passes the test.
template <typename Test>
bool rowHasPixel(ExtentListWidget& list, const QImage& image, int row, Test test)
{
    const QRect rect = list.visualItemRect(list.item(row)).intersected(image.rect());
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            if (test(image.pixelColor(x, y)))
                return true;
    return false;
}

} // namespace

TEST(LogLineDelegate, ErrorRedWarningAmberPlainAndSelectedLinesKeepThePalette)
{
    ExtentListWidget list;
    list.addItems({QStringLiteral("2026-12-06 10:00:00 IP:10.0.0.1 eth0 error, warning follows ██████"),
                   QStringLiteral("2026-12-06 10:00:01 IP:10.0.0.2 fan warning ██████"),
                   QStringLiteral("2026-12-06 10:00:02 IP:10.0.0.3 info: Error WARNING ██████"),
                   QStringLiteral("2026-12-06 10:00:03 IP:10.0.0.4 disk error ██████")});
    QPalette light = list.palette();
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::Text, Qt::black);
    list.setPalette(light);
    list.resize(700, 200);
    list.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&list));

    const Drawn error = drawnAs(list, 0, false), warning = drawnAs(list, 1, false), plain = drawnAs(list, 2, false);
    EXPECT_TRUE(isReddish(error.text)) << error.text.name().toStdString();
    EXPECT_TRUE(isAmber(warning.text)) << warning.text.name().toStdString();
    EXPECT_EQ(plain.text, QColor(Qt::black));
    for (const Drawn& drawn : {error, warning})
        EXPECT_GE(contrast(drawn.text, Qt::white), 4.5);
    const Drawn selected = drawnAs(list, 3, true);
    EXPECT_EQ(selected.text, QColor(Qt::black));
    EXPECT_EQ(selected.highlightedText, light.color(QPalette::Active, QPalette::HighlightedText));
    for (const Drawn& drawn : {warning, plain, selected})
        EXPECT_EQ(drawn.size, error.size);

    // On screen: the block characters of the warning line come out amber; the
    // selected error line and the plain line show no red at all.
    list.setCurrentRow(3);
    QApplication::processEvents();
    const QImage shown = list.viewport()->grab().toImage();
    EXPECT_TRUE(rowHasPixel(list, shown, 0, isReddish));
    EXPECT_TRUE(rowHasPixel(list, shown, 1, isAmber));
    EXPECT_FALSE(rowHasPixel(list, shown, 2, isReddish));
    EXPECT_FALSE(rowHasPixel(list, shown, 3, isReddish));

    // A dark list gets lighter variants that stay readable on it.
    QPalette dark = light;
    dark.setColor(QPalette::Base, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::Text, QColor(0xE0, 0xE0, 0xE0));
    list.setPalette(dark);
    const Drawn darkError = drawnAs(list, 0, false), darkWarning = drawnAs(list, 1, false);
    EXPECT_GT(darkError.text.lightness(), error.text.lightness());
    EXPECT_GT(darkWarning.text.lightness(), warning.text.lightness());
    for (const Drawn& drawn : {darkError, darkWarning})
        EXPECT_GE(contrast(drawn.text, QColor(0x20, 0x20, 0x20)), 4.5);
    EXPECT_EQ(drawnAs(list, 2, false).text, QColor(0xE0, 0xE0, 0xE0));
}
