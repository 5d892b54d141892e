#pragma once

#include <QWidget>

// Window geometry is designed in twips (1/1440 inch); at 96 dpi 15 twips make
// one pixel. Each placed control remembers its twips values, so layout rules
// work on the designed numbers instead of on rounded pixels.
namespace twips {

constexpr double kPerPixel = 15.0;

inline int toPixels(double value) { return qRound(value / kPerPixel); }
inline double fromPixels(int pixels) { return pixels * kPerPixel; }
inline QRect rectToPixels(double left, double top, double width, double height)
{
    return QRect(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}

// Places a control at the given twips and remembers them.
void place(QWidget* control, double left, double top, double width, double height);
void setLeft(QWidget* control, double left);
void setTop(QWidget* control, double top);
void setWidth(QWidget* control, double width);
void setHeight(QWidget* control, double height);
// A label whose size follows its text: resizes it and records the new size.
void fitToText(QWidget* control);

double left(const QWidget* control);
double top(const QWidget* control);
double width(const QWidget* control);
double height(const QWidget* control);

} // namespace twips

#include <QFont>

// The font of every window: 宋体 (SimSun) at the given size, falling back to
// an installed CJK font where SimSun is missing.
QFont songtiFont(double points);

class QComboBox;
class QPushButton;

// Makes a drop-down list's text field show the sample whole by lowering the
// font size (to no less than 6 pt): the layouts were drawn for SimSun's narrow
// glyphs.
void shrinkFontToShow(QComboBox* combo, const QString& sample);

namespace twips {

// The width a button needs to show its caption whole in its own font: the
// text, the style's margins and its frame.
double captionWidth(const QPushButton* button);

// The outer width a window needs for the window manager to show its title
// whole. The manager draws the title in a font of its own; this measures it in
// the platform's font, bold, and leaves room for the frame's icon and three
// buttons, each about as wide as the title bar is high.
double outerWidthForTitle(const QString& title);

} // namespace twips
