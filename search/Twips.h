#pragma once

#include <QRect>
#include <QSize>
#include <QtGlobal>

// Window geometry is designed in twips: 1/1440 inch, 15 twips to a pixel at 96 dpi.
inline constexpr int kTwipsPerPixel = 15;

inline int pixelsFromTwips(int twips) { return qRound(double(twips) / kTwipsPerPixel); }
inline int twipsFromPixels(int pixels) { return pixels * kTwipsPerPixel; }

inline QRect pixelRectFromTwips(int left, int top, int width, int height)
{
    return QRect(pixelsFromTwips(left), pixelsFromTwips(top), pixelsFromTwips(width), pixelsFromTwips(height));
}
