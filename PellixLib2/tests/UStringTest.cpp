#include "TestText.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

namespace {

struct DecodeCase
{
    std::string bytes;
    UString::ByteEncoding encoding;
    UTF16String units;
};

class UStringInput : public testing::TestWithParam<DecodeCase>
{};

TEST_P(UStringInput, DecodesEveryFormTheSame)
{
    const DecodeCase& c = GetParam();
    const auto* bytes = reinterpret_cast<const unsigned char*>(c.bytes.data());
    EXPECT_EQ(UString(c.bytes, c.encoding).utf16_str(), c.units);
    EXPECT_EQ(UString(c.bytes.data(), c.bytes.size(), c.encoding).utf16_str(), c.units);
    EXPECT_EQ(UString(bytes, c.bytes.size(), c.encoding).utf16_str(), c.units);
    UString appended(U(u"x"));
    appended.append(c.bytes, c.encoding);
    EXPECT_EQ(appended.utf16_str(), Units({'x'}) + c.units);
}

INSTANTIATE_TEST_SUITE_P(
    UStringTest, UStringInput,
    testing::Values(
        DecodeCase{Bytes({0x63, 0x61, 0x66, 0xC3, 0xA9}), UString::kUTF8, Units({0x63, 0x61, 0x66, 0x00E9})},
        // Decoding stops silently at the ill-formed pair.
        DecodeCase{Bytes({0x63, 0x61, 0x66, 0xC3, 0x28}), UString::kUTF8, Units({0x63, 0x61, 0x66})},
        DecodeCase{Bytes({0xE9}), UString::k8Bit, Units({0x00E9})},
        // Any encoding but 0 and 2 reads as 8-bit; its 0 bytes stay 0 units.
        DecodeCase{Bytes({0x41, 0x00, 0xFF}), UString::ByteEncoding(7), Units({0x41, 0x00, 0xFF})},
        // Mac OS Roman ends at its first 0 byte, whatever the form.
        DecodeCase{Bytes({0x8E, 0xDB, 0x00, 0x41}), UString::kMacRoman, Units({0x00E9, 0x20AC})}));

TEST(UStringTest, CStringFormsStopAtTheFirstZeroByte)
{
    EXPECT_EQ(UString("ab\0cd", UString::k8Bit).utf16_str(), Units({'a', 'b'}));
    EXPECT_EQ(UString("ab\0cd", 5, UString::k8Bit).utf16_str(), Units({'a', 'b', 0, 'c', 'd'}));
}

TEST(UStringTest, EightBitOutputReplacesUnitsFrom128)
{
    const UString s(Units({0x00E9, 0x0041, 0x007F, 0x0080}));
    EXPECT_EQ(s.string(UString::k8Bit, 0x3F, false), "?A\x7F?");
    EXPECT_EQ(s.string(UString::ByteEncoding(9), '#', true), "#A\x7F#");
}

TEST(UStringTest, MacRomanOutputOfAnUnmappableTextIsEmpty)
{
    EXPECT_EQ(U(u"caf\u00E9 \u20AC").string(UString::kMacRoman, '?', false),
              Bytes({'c', 'a', 'f', 0x8E, ' ', 0xDB}));
    EXPECT_EQ(U(u"caf\u00E9 \u4E00").string(UString::kMacRoman, '?', false), "");
}

TEST(UStringTest, CharIsASignedByteWidened)
{
    const char e9 = static_cast<char>(0xE9);
    UString s;
    s.append(e9);
    EXPECT_EQ(s.utf16_str(), Units({0xFFE9}));
    EXPECT_EQ(UString(e9).utf16_str(), Units({0xFFE9}));
    s.insert(0, 2, e9).resize(4, 'A');
    EXPECT_EQ(s.utf16_str(), Units({0xFFE9, 0xFFE9, 0xFFE9, 0x41}));

    const UString text(Units({'x', 0x00E9, 0xFFE9}));
    EXPECT_EQ(text.find(std::string(1, e9)), 1u);
    EXPECT_EQ(text.find(e9), 2u);
    EXPECT_EQ(text.find_first_of(std::string("\xE9z")), 1u);
    EXPECT_EQ(text.rfind('x'), 0u);
}

TEST(UStringTest, OrdersByUnsignedUnitsWithPrefixesFirst)
{
    EXPECT_TRUE(U(u"ab") < U(u"abc"));
    EXPECT_FALSE(U(u"abc") < U(u"ab"));
    EXPECT_TRUE(U(u"Z") < U(u"a"));
    EXPECT_TRUE(U(u"a") < U(u"\u8000"));
    const UString s = U(u"same");
    EXPECT_FALSE(s < s);
    EXPECT_TRUE(UString() == U(u""));
    EXPECT_FALSE(U(u"a") == U(u"A"));
}

TEST(UStringTest, PositionsBeyondTheLengthThrowAndChangeNothing)
{
    UString empty;
    EXPECT_THROW(empty.pop_back(), std::out_of_range);
    EXPECT_TRUE(empty.empty());

    UString s = U(u"abc");
    EXPECT_THROW(s.at(s.length()), std::out_of_range);
    EXPECT_THROW(s.erase(4), std::out_of_range);
    EXPECT_THROW(s.insert(4, U(u"x")), std::out_of_range);
    EXPECT_THROW(UString(s, 4), std::out_of_range);
    EXPECT_EQ(s, U(u"abc"));
    EXPECT_EQ(s[s.length()], 0);
}

TEST(UStringTest, EraseAtTheEndRemovesNothingAndNposEmpties)
{
    UString s = U(u"abc");
    EXPECT_EQ(s.erase(s.end()), s.end());
    EXPECT_EQ(s, U(u"abc"));
    s.pop_back();
    EXPECT_EQ(s, U(u"ab"));
    s.erase(0, UString::npos);
    EXPECT_TRUE(s.empty());
}

TEST(UStringTest, AMovedFromProxyAppendsNothing)
{
    UString target = U(u">");
    {
        UString::FormattedStreamProxy first(target);
        first.stream() << "7 \xE9";
        UString::FormattedStreamProxy second(std::move(first));
        EXPECT_EQ(target, U(u">"));
    }
    EXPECT_EQ(target, U(u">7 \u00E9"));
}

TEST(UStringTest, Utf32AndWideTextRoundTrip)
{
    const UTF32String code_points = {0x41, 0xE9, 0x20AC, 0x1F600, 0x10FFFF};
    const UString s(code_points);
    EXPECT_EQ(s.utf16_str(), Units({0x41, 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF}));
    EXPECT_EQ(s.utf32_str(), code_points);

    const std::wstring wide = L"A\u00E9\U0001F600";
    EXPECT_EQ(UString(wide).wstring(), wide);
    EXPECT_EQ(UString(wide.c_str()), UString(wide));
    EXPECT_EQ(U(u"x").append(wide), U(u"xA\u00E9\U0001F600"));
}

TEST(UStringTest, Utf8OutputStopsAtAnUnpairedSurrogate)
{
    EXPECT_EQ(U(u"\u00E9\U0001F600").utf8_str(), "\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(UString(Units({'a', 0xDC00, 'b'})).utf8_str(), "a");
}

TEST(UStringTest, AppendsCodePointsUnitsAndStrings)
{
    UString s;
    s.append(0x1F600u)
        .append(static_cast<unsigned short>(0x41))
        .append(U(u"bc"))
        .append("d\xC3\xA9", UString::kUTF8);
    EXPECT_EQ(s.utf16_str(), Units({0xD83D, 0xDE00, 0x41, 'b', 'c', 'd', 0xE9}));
    EXPECT_EQ(s.data_size(), 2 * s.length());
    EXPECT_EQ(s.substr(2, 3), U(u"Abc"));
}

TEST(UStringTest, EmptyStringIsEmpty)
{
    EXPECT_TRUE(UString::kEmptyString.empty());
    EXPECT_EQ(UString::kEmptyString.data()[0], 0);
}

} // namespace
