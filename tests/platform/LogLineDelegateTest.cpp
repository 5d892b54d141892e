#include "platform/ui/ExtentListWidget.h"
#include "platform/ui/LogLineDelegate.h"

#include <gtest/gtest.h>

namespace {

bool isRed(const QColor& c) { return c.red() > 150 && c.green() < 120 && c.blue() < 120; }
bool isAmber(const QColor& c) { return c.red() > 140 && c.green() > 70 && c.green() < c.red() && c.blue() < 80; }

// The option a line is drawn with.
QStyleOptionViewItem drawnAs(ExtentListWidget& list, int row, bool selected)
{
    QStyleOptionViewItem option;
    option.initFrom(&list);
    option.state |= QStyle::State_Active | (selected ? QStyle::State_Selected : QStyle::State_None);
    auto* delegate = dynamic_cast<LogLineDelegate*>(list.itemDelegate());
    delegate->initStyleOption(&option, list.model()->index(row, 0));
    option.rect.setSize(delegate->sizeHint(option, list.model()->index(row, 0)));
    return option;
}
QColor textOf(ExtentListWidget& list, int row, bool selected = false)
{
    return drawnAs(list, row, selected).palette.color(QPalette::Active, QPalette::Text);
}

} // namespace

TEST(LogLineDelegate, ErrorRedWarningAmberPlainAndSelectedLinesKeepThePalette)
{
    ExtentListWidget list;
    list.addItems({QStringLiteral("2026-12-06 10:00:00 IP:10.0.0.1 error, warning"),
                   QStringLiteral("2026-12-06 10:00:01 IP:10.0.0.2 fan warning"),
                   QStringLiteral("2026-12-06 10:00:02 IP:10.0.0.3 info: Error WARNING"),
                   QStringLiteral("2026-12-06 10:00:03 IP:10.0.0.4 disk error")});
    QPalette palette = list.palette();
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, Qt::black);
    list.setPalette(palette);

    const QColor error = textOf(list, 0), warning = textOf(list, 1);
    EXPECT_TRUE(isRed(error)) << error.name().toStdString();
    EXPECT_TRUE(isAmber(warning)) << warning.name().toStdString();
    EXPECT_EQ(textOf(list, 2), QColor(Qt::black));
    const QStyleOptionViewItem selected = drawnAs(list, 3, true);
    EXPECT_EQ(selected.palette, list.palette());
    for (int row : {1, 2})
        EXPECT_EQ(drawnAs(list, row, false).rect.size(), selected.rect.size());

    // A dark base gets lighter variants of the same hues.
    palette.setColor(QPalette::Base, QColor(0x20, 0x20, 0x20));
    list.setPalette(palette);
    for (const auto& [row, light] : {std::pair{0, error}, std::pair{1, warning}}) {
        EXPECT_GT(qGray(textOf(list, row).rgb()), qGray(light.rgb()) + 60);
        EXPECT_EQ(textOf(list, row).hue() / 30, light.hue() / 30);
    }
}

TEST(LogLineDelegate, AKnownSeverityDecidesTheColourOverTheWords)
{
    ExtentListWidget list;
    QPalette palette = list.palette();
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, Qt::black);
    list.setPalette(palette);
    // severity, text: emergency..error red, warning amber, debug grey, the rest plain.
    const std::pair<int, const char*> lines[] = {{0, "info"}, {3, "info"},  {4, "info"},
                                                 {7, "error"}, {6, "error"}, {5, "warning"}};
    for (const auto& [severity, text] : lines) {
        auto* item = new QListWidgetItem(QStringLiteral("2026-12-06 10:00:00 IP:10.0.0.1 ") + QLatin1String(text));
        item->setData(kSyslogSeverityRole, severity);
        list.addItem(item);
    }
    EXPECT_TRUE(isRed(textOf(list, 0)));
    EXPECT_TRUE(isRed(textOf(list, 1)));
    EXPECT_TRUE(isAmber(textOf(list, 2)));
    const QColor debug = textOf(list, 3);
    EXPECT_TRUE(debug.saturation() < 20 && qGray(debug.rgb()) > 60 && qGray(debug.rgb()) < 200)
        << debug.name().toStdString();
    EXPECT_EQ(textOf(list, 4), QColor(Qt::black));
    EXPECT_EQ(textOf(list, 5), QColor(Qt::black));
}
