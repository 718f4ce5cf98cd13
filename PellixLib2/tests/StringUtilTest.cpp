#include "TestText.h"

#include "UString/UStringUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cmath>
#include <limits>

namespace {

// Number formatting and parsing follow the system library's "C" locale.
class StringUtilTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr); }
};

TEST_F(StringUtilTest, FourCharacterCodes)
{
    EXPECT_EQ(OSTypeToUString(0x4D616358), U(u"MacX"));
    EXPECT_EQ(OSTypeToUString(0x41420000), U(u"AB"));
    EXPECT_EQ(UStringToOSType(U(u"enus")), 0x656E7573u);
    EXPECT_EQ(UStringToOSType(UString(Units({0x0141, 'b', 'c', 'd'}))) >> 24, 0x41u);
}

TEST_F(StringUtilTest, ShortCodesReadMissingUnitsAsZero)
{
    EXPECT_EQ(UStringToOSType(U(u"ab")), 0x61620000u);
    EXPECT_EQ(UStringToOSType(UString()), 0u);
    EXPECT_EQ(UStringToOSType(OSTypeToUString(0x41420000)), 0x41420000u);
}

TEST_F(StringUtilTest, NumbersAsText)
{
    EXPECT_EQ(NumToUString(255, 0), U(u"ff"));
    EXPECT_EQ(NumToUString(-1, 0), U(u"ffffffffffffffff"));
    EXPECT_EQ(NumToUString(-42, 1), U(u"-42"));
    EXPECT_EQ(DoubleToUString(0.1), U(u"0.1"));
    EXPECT_EQ(DoubleToUString(1234567.0), U(u"1.23457e+06"));
}

struct ParseCase
{
    std::u16string text;
    NumFormat format;
    long value;
};

class NumberParsing : public StringUtilTest, public testing::WithParamInterface<ParseCase>
{};

TEST_P(NumberParsing, ExtractsAsAnInputStream)
{
    EXPECT_EQ(UStringToNum(U(GetParam().text), GetParam().format), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(StringUtilTest, NumberParsing,
                         testing::Values(ParseCase{u"0x1F", 0, 31}, ParseCase{u"1f", 0, 31},
                                         ParseCase{u"12abc", 1, 12}, ParseCase{u"abc", 1, 0},
                                         ParseCase{u"  7", 1, 7}, ParseCase{u"-8", 1, -8},
                                         ParseCase{u"99999999999999999999", 1, LONG_MAX},
                                         ParseCase{u"-99999999999999999999", 1, LONG_MIN},
                                         // Units above 127 reach the parser as spaces.
                                         ParseCase{u"\u00E95", 1, 5}, ParseCase{u"", 1, 0}));

TEST_F(StringUtilTest, PreciseDoubles)
{
    EXPECT_EQ(DoubleToUStringPrecise(2.0), U(u"2"));
    EXPECT_EQ(DoubleToUStringPrecise(2.5), U(u"2.500000"));
    EXPECT_EQ(DoubleToUStringPrecise(-0.25), U(u"-0.250000"));
}

TEST_F(StringUtilTest, PreciseDoublesOfAnyMagnitudeKeepTheirWholeText)
{
    const UString huge = DoubleToUStringPrecise(1e300);
    EXPECT_EQ(huge.length(), 301u);
    EXPECT_EQ(huge.find('.'), UString::npos);
    EXPECT_EQ(UStringToDouble(huge), 1e300);

    const UString most_negative = DoubleToUStringPrecise(-1e308);
    EXPECT_EQ(most_negative.length(), 310u);
    EXPECT_EQ(UStringToDouble(most_negative), -1e308);

    const UString nan = DoubleToUStringPrecise(std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(nan == U(u"nan") || nan == U(u"-nan"));
    EXPECT_EQ(DoubleToUStringPrecise(std::numeric_limits<double>::infinity()), U(u"inf"));
    EXPECT_EQ(DoubleToUStringPrecise(-std::numeric_limits<double>::infinity()), U(u"-inf"));
}

TEST_F(StringUtilTest, ParsesDoublesWithTheSystemLibrary)
{
    EXPECT_EQ(UStringToDouble(U(u"2.5e3xyz")), 2500.0);
    EXPECT_EQ(UStringToDouble(U(u"none")), 0.0);
    // Units above 127 reach strtod as x, which ends the number.
    EXPECT_EQ(UStringToDouble(U(u"1\u00E95")), 1.0);
}

TEST_F(StringUtilTest, FindsTheFirstRunOfDigits)
{
    EXPECT_EQ(FindNumberInString(U(u"xy-123 z456")), 123);
    EXPECT_EQ(FindNumberInString(U(u"xyz")), 0);
    EXPECT_EQ(FindNumberInString(U(u"v4294967297")), 1);
}

TEST_F(StringUtilTest, StrToLKeepsTheRest)
{
    UString rest;
    EXPECT_EQ(StrToL(U(u"42px"), &rest, 10), 42);
    EXPECT_EQ(rest, U(u"px"));
    EXPECT_EQ(StrToL(U(u"12\u00E9"), &rest, 10), 12);
    EXPECT_EQ(rest, U(u" "));
    EXPECT_EQ(StrToL(U(u"0x1fz"), nullptr, 0), 31);
    EXPECT_EQ(StrToD(U(u"1.5s"), &rest), 1.5);
    EXPECT_EQ(rest, U(u"s"));
}

TEST_F(StringUtilTest, RawDataFromHexDigits)
{
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    UStringToRawData(U(u"0A ff 1"), out, 4);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 4), std::vector<unsigned char>({0x0A, 0xFF, 0xEE, 0xEE}));

    unsigned char two[3] = {0xEE, 0xEE, 0xEE};
    UStringToRawData(U(u"0a1b2c3d"), two, 2);
    EXPECT_EQ(std::vector<unsigned char>(two, two + 3), std::vector<unsigned char>({0x0A, 0x1B, 0xEE}));

    // Separators may split a byte; a unit counts by its low 8 bits.
    unsigned char one[1] = {};
    UStringToRawData(UString(Units({'4', '-', 0x0141})), one, 1);
    EXPECT_EQ(one[0], 0x4A);
}

TEST_F(StringUtilTest, ClassificationIsASCIIOnly)
{
    EXPECT_TRUE(IsNumeric(UString()));
    EXPECT_TRUE(IsStringWhitespace(UString()));
    EXPECT_TRUE(IsNumeric(U(u"0129")));
    EXPECT_FALSE(IsNumeric(U(u"12a")));
    EXPECT_TRUE(IsStringWhitespace(U(u" \t\n\v\f\r")));
    EXPECT_FALSE(IsStringWhitespace(U(u"\u00A0")));
    EXPECT_FALSE(IsDigit(0xFF11));
    EXPECT_TRUE(IsXDigit('F'));
    EXPECT_FALSE(IsXDigit('g'));
    EXPECT_TRUE(IsLower('q'));
    EXPECT_FALSE(IsLower(0x00E9));
    EXPECT_TRUE(IsASCII(0x7F));
    EXPECT_FALSE(IsASCII(0x80));
    EXPECT_EQ(ToLower('Q'), 'q');
    EXPECT_EQ(ToLower(0x00C9), 0x00C9);
    EXPECT_EQ(ToUpper('q'), 'Q');
    UString s = U(u"ab\u00E9z1");
    ToUpper(s);
    EXPECT_EQ(s, U(u"AB\u00E9Z1"));
}

} // namespace
