#include "Twips.h"

#include <QFontMetrics>
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

void shrinkCaptionToFit(QPushButton* button)
{
    constexpr int kPadding = 8;
    QFont font = button->font();
    const int room = button->width() - kPadding;
    while (QFontMetrics(font).horizontalAdvance(button->text()) > room && font.pointSizeF() > 6.0)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    button->setFont(font);
}
