#include "platform/ui/Twips.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QPushButton>

namespace twips {
namespace {

double property(const QWidget* control, const char* name, int fallbackPixels)
{
    const QVariant value = control->property(name);
    return value.isValid() ? value.toDouble() : fromPixels(fallbackPixels);
}

void apply(QWidget* control)
{
    control->setGeometry(toPixels(left(control)), toPixels(top(control)), toPixels(width(control)),
                         toPixels(height(control)));
}

} // namespace

void place(QWidget* control, double leftTwips, double topTwips, double widthTwips, double heightTwips)
{
    control->setProperty("twipsLeft", leftTwips);
    control->setProperty("twipsTop", topTwips);
    control->setProperty("twipsWidth", widthTwips);
    control->setProperty("twipsHeight", heightTwips);
    apply(control);
}

void setLeft(QWidget* control, double value) { control->setProperty("twipsLeft", value); apply(control); }
void setTop(QWidget* control, double value) { control->setProperty("twipsTop", value); apply(control); }
void setWidth(QWidget* control, double value) { control->setProperty("twipsWidth", value); apply(control); }
void setHeight(QWidget* control, double value) { control->setProperty("twipsHeight", value); apply(control); }

void fitToText(QWidget* control)
{
    const QSize size = control->sizeHint();
    control->setProperty("twipsWidth", fromPixels(size.width()));
    control->setProperty("twipsHeight", fromPixels(size.height()));
    apply(control);
}

double left(const QWidget* c) { return property(c, "twipsLeft", c->x()); }
double top(const QWidget* c) { return property(c, "twipsTop", c->y()); }
double width(const QWidget* c) { return property(c, "twipsWidth", c->width()); }
double height(const QWidget* c) { return property(c, "twipsHeight", c->height()); }

} // namespace twips

QFont songtiFont(double points)
{
    QFont font;
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("Noto Sans CJK SC"),
                      QStringLiteral("Noto Serif CJK SC")});
    font.setPointSizeF(points);
    return font;
}

namespace {

QFont shrunkToShow(QFont font, const QString& text, int room)
{
    while (QFontMetrics(font).horizontalAdvance(text) > room && font.pointSizeF() > 6.0)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    return font;
}

} // namespace

void shrinkFontToShow(QComboBox* combo, const QString& sample)
{
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.rect = QRect(QPoint(0, 0), combo->size());
    const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
    constexpr int kTextMargin = 4;
    combo->setFont(shrunkToShow(combo->font(), sample, field.width() - kTextMargin));
}

namespace twips {

double captionWidth(const QPushButton* button)
{
    const QStyle* style = button->style();
    const int margins = 2 * (style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button)
                             + style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button));
    return fromPixels(button->fontMetrics().horizontalAdvance(button->text()) + margins);
}

double outerWidthForTitle(const QString& title)
{
    QFont font = QApplication::font();
    font.setBold(true);
    const QFontMetrics metrics(font);
    constexpr int kFramePieces = 4; // the icon and three buttons
    constexpr int kPadding = 8;
    const int titleBarHeight = metrics.height() + kPadding;
    return fromPixels(metrics.horizontalAdvance(title) + kFramePieces * titleBarHeight + 2 * kPadding);
}

} // namespace twips
