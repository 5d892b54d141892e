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

// Makes a button's caption fit its designed width by lowering the font size
// (to no less than 6 pt): the layouts were drawn for SimSun's narrow glyphs,
// and English captions in other fonts would otherwise be cut off.
void shrinkCaptionToFit(QPushButton* button);
// The same for a drop-down list: its text field shows the sample whole.
void shrinkFontToShow(QComboBox* combo, const QString& sample);
