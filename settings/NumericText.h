#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

// The numeric-text rule of the settings: a text is numeric when it reads as a
// decimal number, that is an optional sign, digits with an optional fraction,
// an optional exponent, and blanks around it ("80", " -1 ", "80.5", "6e2",
// ".5"). Anything else, including empty text, is not numeric.

// The value of a numeric text; nullopt when the text is not numeric. A value
// too large for a double reads as an infinity, a value too small as 0.
std::optional<double> numericValue(const QString& text);

// Rounds to the nearest whole number, a half going to the even neighbour
// (80.5 -> 80, 81.5 -> 82, -2.5 -> -2).
double roundHalfToEven(double value);

// A numeric text converted to a whole number of the given width with
// roundHalfToEven(); nullopt when the text is not numeric or the rounded value
// does not fit.
std::optional<qint32> toInt32(const QString& text);
std::optional<qint16> toInt16(const QString& text);
