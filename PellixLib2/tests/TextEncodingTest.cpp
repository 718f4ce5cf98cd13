#include "TestText.h"

#include "UString/UStringConvertMac.h"
#include "UString/UtfConvert.h"
#include "UString/UtfConvertMac.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <map>

namespace {

struct Utf8Case
{
    std::string bytes;
    UTF16String units;
    unsigned long consumed;
};

class Utf8Decoding : public testing::TestWithParam<Utf8Case>
{};

TEST_P(Utf8Decoding, StopsAtTheFirstIllFormedSequence)
{
    const Utf8Case& c = GetParam();
    UTF16String out = Units({'o', 'l', 'd'});
    EXPECT_EQ(utf8_to_utf16(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), out),
              c.consumed);
    EXPECT_EQ(out, c.units);
}

INSTANTIATE_TEST_SUITE_P(
    TextEncodingTest, Utf8Decoding,
    testing::Values(
        Utf8Case{Bytes({0x41, 0xC3, 0x28, 0x42}), Units({0x41}), 1},
        Utf8Case{Bytes({0xE2, 0x82}), Units({}), 0},
        Utf8Case{Bytes({0xF0, 0x9F, 0x98, 0x80}), Units({0xD83D, 0xDE00}), 4},
        // Encoded surrogates are accepted and give their unit.
        Utf8Case{Bytes({0xED, 0xA0, 0x80}), Units({0xD800}), 3}, Utf8Case{Bytes({0xC0, 0x80}), Units({}), 0},
        Utf8Case{Bytes({0xF5, 0x80, 0x80, 0x80}), Units({}), 0},
        Utf8Case{Bytes({0xF4, 0x41, 0x80, 0x80}), Units({}), 0}, Utf8Case{Bytes({0x80}), Units({}), 0},
        Utf8Case{Bytes({0xE0, 0x9F, 0xBF}), Units({}), 0},
        Utf8Case{Bytes({0xF4, 0x90, 0x80, 0x80}), Units({}), 0},
        Utf8Case{Bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), Units({}), 0},
        // The ASCII fast path hands over to the general one inside a word.
        Utf8Case{"abcdefgh" + Bytes({0xC3, 0xA9}) + "ijklmnopq", U(u"abcdefgh\u00E9ijklmnopq").utf16_str(),
                 19},
        Utf8Case{"abcdefg" + Bytes({0xC3}), U(u"abcdefg").utf16_str(), 7},
        // Long runs go on a word at a time and must stop at the first byte from 0x80.
        Utf8Case{std::string(40, 'a') + Bytes({0xC3, 0xA9}) + std::string(20, 'b') + Bytes({0xE2, 0x82}),
                 UString(std::string(40, 'a'), UString::k8Bit)
                     .append(U(u"\u00E9"))
                     .append(std::string(20, 'b'), UString::k8Bit)
                     .utf16_str(),
                 62},
        Utf8Case{std::string("a\0b", 3), Units({'a', 0, 'b'}), 3}, Utf8Case{"", Units({}), 0},
        // Overlong forms, the last values of each length and bad trailing bytes.
        Utf8Case{Bytes({0xC1, 0xBF}), Units({}), 0}, Utf8Case{Bytes({0xE0, 0x80, 0x80}), Units({}), 0},
        Utf8Case{Bytes({0xF0, 0x8F, 0xBF, 0xBF}), Units({}), 0},
        Utf8Case{Bytes({0xDF, 0xBF, 0xEF, 0xBF, 0xBF, 0xF4, 0x8F, 0xBF, 0xBF}),
                 Units({0x7FF, 0xFFFF, 0xDBFF, 0xDFFF}), 9},
        Utf8Case{Bytes({0xED, 0xBF, 0xBF}), Units({0xDFFF}), 3},
        Utf8Case{Bytes({0xE6, 0x9D, 0x41}), Units({}), 0},
        Utf8Case{Bytes({0xF0, 0x9F, 0x98, 0x41}), Units({}), 0},
        // Sequences that end exactly at the end, and ones cut by it after longer text.
        Utf8Case{"a" + Bytes({0xF0, 0x9F, 0x98, 0x80}), Units({'a', 0xD83D, 0xDE00}), 5},
        Utf8Case{"ab" + Bytes({0xE6, 0x9D, 0xB1}), Units({'a', 'b', 0x6771}), 5},
        Utf8Case{"abcd" + Bytes({0xF0, 0x9F, 0x98}), Units({'a', 'b', 'c', 'd'}), 4},
        Utf8Case{"abcd" + Bytes({0xE6}), Units({'a', 'b', 'c', 'd'}), 4},
        // Text is converted in blocks of 4096 bytes; sequences that cross from one to
        // the next.
        Utf8Case{std::string(4095, 'a') + Bytes({0xF0, 0x9F, 0x98, 0x80}) + "b",
                 UString(std::string(4095, 'a'), UString::k8Bit).append(U(u"\U0001F600b")).utf16_str(), 4100},
        Utf8Case{std::string(4094, 'a') + Bytes({0xE6, 0x9D, 0xB1, 0xE6, 0x9D}),
                 UString(std::string(4094, 'a'), UString::k8Bit).append(U(u"\u6771")).utf16_str(), 4097}));

struct Utf16Case
{
    UTF16String units;
    std::string bytes;
    unsigned long consumed;
};

class Utf16Encoding : public testing::TestWithParam<Utf16Case>
{};

TEST_P(Utf16Encoding, StopsAtTheFirstUnpairedSurrogate)
{
    const Utf16Case& c = GetParam();
    std::string out = "old";
    EXPECT_EQ(utf16_to_utf8(c.units.data(), c.units.size(), out), c.consumed);
    EXPECT_EQ(out, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    TextEncodingTest, Utf16Encoding,
    testing::Values(
        Utf16Case{Units({0x41, 0xDC00, 0x42}), "A", 1},
        Utf16Case{Units({0xD83D, 0xDE00, 0x41}), Bytes({0xF0, 0x9F, 0x98, 0x80, 0x41}), 3},
        Utf16Case{Units({0x41, 0xD83D}), "A", 1}, Utf16Case{Units({0xD83D, 0x41}), "", 0},
        Utf16Case{Units({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF}),
                  Bytes({0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF}), 5},
        Utf16Case{U(u"abcdefgh\u00E9ijkl").utf16_str(), "abcdefgh\xC3\xA9ijkl", 13},
        Utf16Case{Units({}), "", 0},
        // Long ASCII runs go on sixteen units at a time and must stop at the first unit from 0x80.
        Utf16Case{UString(std::string(40, 'a'), UString::k8Bit)
                      .append(Units({0xE9}))
                      .append(std::string(20, 'b'), UString::k8Bit)
                      .append(Units({0xD800}))
                      .utf16_str(),
                  std::string(40, 'a') + "\xC3\xA9" + std::string(20, 'b'), 61},
        Utf16Case{Units({0xDBFF, 0xDFFF, 0xD7FF, 0xE000}),
                  Bytes({0xF4, 0x8F, 0xBF, 0xBF, 0xED, 0x9F, 0xBF, 0xEE, 0x80, 0x80}), 4},
        // Units are converted in blocks of 4096; a pair that crosses from one to the next,
        // and a final high surrogate after a block.
        Utf16Case{UString(std::string(4095, 'a'), UString::k8Bit).append(U(u"\U0001F600b")).utf16_str(),
                  std::string(4095, 'a') + Bytes({0xF0, 0x9F, 0x98, 0x80}) + "b", 4098},
        Utf16Case{UString(std::string(4096, 'a'), UString::k8Bit).append(Units({0x6771, 0xD83D})).utf16_str(),
                  std::string(4096, 'a') + Bytes({0xE6, 0x9D, 0xB1}), 4097}));

TEST(TextEncodingTest, ConvertingIntoALongerTextKeepsOnlyTheNewResult)
{
    UTF16String units(10000, 'x');
    const std::string bytes = Bytes({0x61, 0xE6, 0x9D, 0xB1});
    EXPECT_EQ(utf8_to_utf16(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), units), 4u);
    EXPECT_EQ(units, Units({'a', 0x6771}));

    std::string text(10000, 'x');
    EXPECT_EQ(utf16_to_utf8(units.data(), units.size(), text), 2u);
    EXPECT_EQ(text, bytes);
}

TEST(TextEncodingTest, Utf16ToUtf32PairsSurrogatesAndStopsAtUnpairedOnes)
{
    const UTF16String units = Units({0x41, 0xD83D, 0xDE00, 0xDC00, 0x42});
    UTF32String out;
    EXPECT_EQ(utf16_to_utf32(units.data(), units.size(), out), 3u);
    EXPECT_EQ(out, UTF32String({0x41, 0x1F600}));
}

TEST(TextEncodingTest, Utf32ToUtf16ReplacesValuesBeyondUnicode)
{
    const UTF32String code_points = {0x110000, 0x1F600, 0xD800, 0xFFFF};
    UTF16String out;
    EXPECT_EQ(utf32_to_utf16(code_points.data(), code_points.size(), out), 4u);
    EXPECT_EQ(out, Units({0xFEFF, 0xD83D, 0xDE00, 0xD800, 0xFFFF}));
}

// glibc's MACINTOSH table, against which the published table departs at two bytes.
unsigned short iconvMacintosh(unsigned char byte)
{
    const iconv_t converter = iconv_open("UTF-16LE", "MACINTOSH");
    EXPECT_NE(converter, reinterpret_cast<iconv_t>(-1));
    char in[1] = {static_cast<char>(byte)};
    unsigned char out[4] = {};
    char* inp = in;
    char* outp = reinterpret_cast<char*>(out);
    size_t in_left = 1;
    size_t out_left = sizeof out;
    EXPECT_NE(iconv(converter, &inp, &in_left, &outp, &out_left), static_cast<size_t>(-1));
    iconv_close(converter);
    return static_cast<unsigned short>(out[0] | (out[1] << 8));
}

TEST(TextEncodingTest, MacRomanMatchesThePublishedTable)
{
    const std::map<unsigned char, unsigned short> departures = {{0xC6, 0x2206}, {0xF0, 0xF8FF}};
    for (int b = 1; b < 256; ++b) {
        const auto byte = static_cast<unsigned char>(b);
        const auto departure = departures.find(byte);
        const unsigned short expected =
            departure != departures.end() ? departure->second : iconvMacintosh(byte);
        UTF16String units;
        EXPECT_EQ(MacRoman_to_utf16(&byte, 1, units), 2u) << "byte " << b;
        EXPECT_EQ(units, Units({expected})) << "byte " << b;
        std::string back;
        EXPECT_EQ(utf16_to_MacRoman(units.data(), units.size(), back), 1u) << "byte " << b;
        EXPECT_EQ(back, std::string(1, static_cast<char>(byte))) << "byte " << b;
    }
    EXPECT_EQ(U(u"\u03A9\u2206\u20AC\uF8FF").string(UString::kMacRoman, '?', false),
              Bytes({0xBD, 0xC6, 0xDB, 0xF0}));
}

TEST(TextEncodingTest, MacRomanInputEndsAtTheFirstZeroByte)
{
    const unsigned char bytes[] = {0x41, 0x00, 0x42};
    UTF16String out = Units({'o', 'l', 'd'});
    EXPECT_EQ(MacRoman_to_utf16(bytes, 3, out), 2u);
    EXPECT_EQ(out, Units({0x41}));
    EXPECT_EQ(MacRoman_to_utf16(bytes, 0, out), 0u);
    EXPECT_TRUE(out.empty());
}

TEST(TextEncodingTest, MacRomanOutputFailsWithoutTouchingOut)
{
    std::string out = "old";
    for (const UTF16String& units : {Units({0x41, 0xD83D, 0xDE00}), Units({0x4E00}), Units({0x41, 0xDC00})}) {
        EXPECT_EQ(utf16_to_MacRoman(units.data(), units.size(), out), 0u);
        EXPECT_EQ(out, "old");
    }
    const UTF16String stops = Units({0x41, 0x00, 0x42});
    EXPECT_EQ(utf16_to_MacRoman(stops.data(), stops.size(), out), 1u);
    EXPECT_EQ(out, "A");
}

TEST(TextEncodingTest, CFStringsCarryEveryUnit)
{
    const UString text(Units({0x41, 0xDC00, 0xD83D, 0xDE00, 0x00}));
    EXPECT_EQ(CFToUString(UStringToCF(text).get()), text);
    const auto mutable_text = UStringToCFMutable(text);
    CFStringAppendCharacters(mutable_text.get(), text.data(), 1);
    EXPECT_EQ(CFToUString(mutable_text.get()), UString(text).append(static_cast<unsigned short>(0x41)));
    EXPECT_TRUE(CFToUString(nullptr).empty());
}

TEST(TextEncodingTest, HFSNamesKeep255Units)
{
    const UString long_name(UTF16String(300, 'n'));
    const HFSUniStr255 name = UStringToHFS(long_name);
    EXPECT_EQ(name.length, 255);
    EXPECT_EQ(HFSToUString(name), UString(long_name, 0, 255));
    EXPECT_EQ(CFStringToHFS(UStringToCF(long_name).get()).length, 255);
    EXPECT_EQ(CFToUString(HFSToCFString(name).get()), HFSToUString(name));
    EXPECT_EQ(CFToUString(HFSToCFMutableString(name).get()), HFSToUString(name));
    EXPECT_EQ(CFStringToHFS(nullptr).length, 0);

    HFSUniStr255 claims_too_much = UStringToHFS(U(u"ab"));
    claims_too_much.length = 0xFFFF;
    EXPECT_EQ(HFSToUString(claims_too_much).length(), 255u);
}

struct CompareCase
{
    UString a;
    UString b;
    UString::CompareFlags flags;
    bool aBeforeB;
    bool bBeforeA;
    bool equal;
};

class FlagComparison : public testing::TestWithParam<CompareCase>
{};

TEST_P(FlagComparison, FollowsTheFlags)
{
    const CompareCase& c = GetParam();
    EXPECT_EQ(c.a.less(c.b, c.flags), c.aBeforeB);
    EXPECT_EQ(c.b.less(c.a, c.flags), c.bBeforeA);
    EXPECT_EQ(c.a.equal(c.b, c.flags), c.equal);
}

INSTANTIATE_TEST_SUITE_P(TextEncodingTest, FlagComparison,
                         testing::Values(CompareCase{U(u"abc"), U(u"ABC"), 0x01, false, false, true},
                                         CompareCase{U(u"abc"), U(u"ABC"), 0x00, false, true, false},
                                         CompareCase{U(u"\u00E9"), U(u"e"), 0x02, false, false, true},
                                         CompareCase{U(u"\u00E9"), U(u"e"), 0x00, false, true, false},
                                         CompareCase{U(u"\uFF21"), U(u"A"), 0x08, false, false, true},
                                         CompareCase{U(u"file9"), U(u"file10"), 0x20, true, false, false},
                                         CompareCase{U(u"file9"), U(u"file10"), 0x00, false, true, false},
                                         // Bits outside the four options are ignored.
                                         CompareCase{U(u"a"), U(u"b"), 0x44, true, false, false}));

} // namespace
