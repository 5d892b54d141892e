#include "settings/NumericText.h"

#include <QRegularExpression>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

const QRegularExpression& decimalNumberPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral(R"(^[ \t]*([+-]?)((?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE]([+-]?)[0-9]+)?)[ \t]*$)"));
    return pattern;
}

// What strtod would give for a magnitude outside the range of a double:
// an infinity for a large one, 0 for a small one (told apart by the exponent).
double outOfRangeMagnitude(const QString& exponentSign)
{
    return exponentSign == QLatin1String("-") ? 0.0 : std::numeric_limits<double>::infinity();
}

template <typename Int>
std::optional<Int> toWholeNumber(const QString& text)
{
    const std::optional<double> value = numericValue(text);
    if (!value)
        return std::nullopt;
    const double rounded = roundHalfToEven(*value);
    if (!(rounded >= double(std::numeric_limits<Int>::min()) && rounded <= double(std::numeric_limits<Int>::max())))
        return std::nullopt;
    return Int(rounded);
}

} // namespace

std::optional<double> numericValue(const QString& text)
{
    const QRegularExpressionMatch match = decimalNumberPattern().match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const QByteArray magnitudeText = match.captured(2).toLatin1();
    double magnitude = 0.0;
    const auto [end, error] = std::from_chars(magnitudeText.constData(),
                                              magnitudeText.constData() + magnitudeText.size(), magnitude);
    if (error == std::errc::result_out_of_range)
        magnitude = outOfRangeMagnitude(match.captured(3));
    else if (error != std::errc() || end != magnitudeText.constData() + magnitudeText.size())
        return std::nullopt;
    return match.captured(1) == QLatin1String("-") ? -magnitude : magnitude;
}

double roundHalfToEven(double value)
{
    if (!std::isfinite(value))
        return value;
    const double below = std::floor(value);
    const double fraction = value - below;
    if (fraction > 0.5)
        return below + 1.0;
    if (fraction < 0.5)
        return below;
    return std::fmod(below, 2.0) == 0.0 ? below : below + 1.0;
}

std::optional<qint32> toInt32(const QString& text) { return toWholeNumber<qint32>(text); }

std::optional<qint16> toInt16(const QString& text) { return toWholeNumber<qint16>(text); }
