#include "settings/NumericText.h"

#include <cmath>
#include <gtest/gtest.h>

TEST(NumericTextTest, DecimalNumbersWithSignFractionExponentAndBlanksAreNumeric)
{
    const std::pair<const char*, double> numeric[] = {
        {"80", 80},     {" 80 ", 80},   {"\t7\t", 7},    {"+80", 80},    {"-1", -1},       {"80.5", 80.5},
        {".5", 0.5},    {"5.", 5},      {"6e2", 600},    {"1E+3", 1000}, {"2.5e-1", 0.25}, {"65535", 65535},
    };
    for (const auto& [text, value] : numeric) {
        const std::optional<double> read = numericValue(QString::fromLatin1(text));
        ASSERT_TRUE(read.has_value()) << text;
        EXPECT_DOUBLE_EQ(*read, value) << text;
    }
}

TEST(NumericTextTest, EverythingElseIsNotNumeric)
{
    for (const char* text : {"", " ", "abc", "80a", "8 0", "0x50", "1e", "e5", "--1", "+-1", "1,5", ".", "-", "1e5.5"})
        EXPECT_FALSE(numericValue(QString::fromLatin1(text)).has_value()) << text;
    EXPECT_FALSE(numericValue(QStringLiteral("８０")).has_value());
}

TEST(NumericTextTest, MagnitudesBeyondADoubleReadAsInfinityOrZero)
{
    EXPECT_TRUE(std::isinf(*numericValue(QStringLiteral("1e999"))));
    EXPECT_LT(*numericValue(QStringLiteral("-1e999")), 0.0);
    EXPECT_EQ(*numericValue(QStringLiteral("1e-999")), 0.0);
}

TEST(NumericTextTest, HalvesRoundToTheEvenNeighbour)
{
    const std::pair<double, double> cases[] = {
        {80.5, 80}, {81.5, 82}, {0.5, 0},   {1.5, 2},     {-0.5, 0},   {-1.5, -2},
        {-2.5, -2}, {2.4999, 2}, {2.5001, 3}, {65535.5, 65536}, {0.3, 0},
    };
    for (const auto& [value, rounded] : cases)
        EXPECT_EQ(roundHalfToEven(value), rounded) << value;
}

TEST(NumericTextTest, WholeNumberConversionsRefuseWhatDoesNotFit)
{
    EXPECT_EQ(toInt16(QStringLiteral("32767")), qint16(32767));
    EXPECT_EQ(toInt16(QStringLiteral("-32768.5")), qint16(-32768));
    EXPECT_EQ(toInt16(QStringLiteral("32767.5")), std::nullopt);
    EXPECT_EQ(toInt16(QStringLiteral("70000")), std::nullopt);
    EXPECT_EQ(toInt16(QStringLiteral("abc")), std::nullopt);
    EXPECT_EQ(toInt32(QStringLiteral(" 2147483647 ")), qint32(2147483647));
    EXPECT_EQ(toInt32(QStringLiteral("2147483648")), std::nullopt);
    EXPECT_EQ(toInt32(QStringLiteral("1e999")), std::nullopt);
    EXPECT_EQ(toInt32(QStringLiteral("80.5")), qint32(80));
}
