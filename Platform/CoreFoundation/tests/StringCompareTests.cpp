#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <string>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <vector>

namespace {

CFStringRef fromUnits(const std::u16string& units)
{
    return CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(units.data()),
                                        static_cast<CFIndex>(units.size()));
}

int signOf(int value)
{
    return value < 0 ? -1 : value > 0 ? 1 : 0;
}

CFComparisonResult compare(const std::u16string& a, const std::u16string& b, CFStringCompareFlags flags)
{
    CFStringRef first = fromUnits(a);
    CFStringRef second = fromUnits(b);
    CFComparisonResult result = CFStringCompare(first, second, flags);
    CFRelease(first);
    CFRelease(second);
    return result;
}

// ICU's verdict: code-unit order, and default case folding for the case-insensitive flag.
int icuCompare(const std::u16string& a, const std::u16string& b, bool caseInsensitive)
{
    auto length = [](const std::u16string& s) { return static_cast<int32_t>(s.size()); };
    if (!caseInsensitive) {
        return signOf(u_strCompare(a.data(), length(a), b.data(), length(b), false));
    }
    UErrorCode status = U_ZERO_ERROR;
    return signOf(u_strCaseCompare(a.data(), length(a), b.data(), length(b), U_FOLD_CASE_DEFAULT, &status));
}

TEST(StringCompare, LiteralAndCaseInsensitiveOrderEqualICU)
{
    std::vector<std::pair<std::u16string, std::u16string>> pairs = {
        {u"abc", u"abd"},
        {u"abc", u"ABC"},
        {u"ab", u"abc"},
        {u"", u"a"},
        {u"", u""},
        {u"\u00E9", u"e"},
        {u"\u00C9", u"\u00E9"},
        {u"Stra\u00DFe", u"STRASSE"},
        {u"\U0001F600", u"\uFFFF"},
        {u"\u0130", u"i\u0307"},
        {u"\u03A3\u039F\u03A6\u039F\u03A3", u"\u03C3\u03BF\u03C6\u03BF\u03C2"},
        {u"file9", u"file10"},
        {u"Z", u"a"},
        {u"[", u"A"},
        {u"_", u"b"},
        {u"aZ", u"Ab"},
        {u"abc\u00C9x", u"ABC\u00E9X"},
        {u"Tag \U0001F600", u"TAG \U0001F601"},
        {u"\U0001F600", u"\U0001F600a"},
        {u"x\u212A", u"XK"},
    };
    for (const auto& [a, b] : pairs) {
        for (bool caseInsensitive : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "pair " << (&a - &pairs[0].first) << " case-insensitive " << caseInsensitive);
            CFStringCompareFlags flags =
                caseInsensitive ? CFStringCompareFlags{kCFCompareCaseInsensitive} : 0;
            EXPECT_EQ(compare(a, b, flags), icuCompare(a, b, caseInsensitive));
            EXPECT_EQ(compare(b, a, flags), icuCompare(b, a, caseInsensitive));
        }
    }
}

// Latin-1 letters are folded without ICU where they fold to one unit: every pair of the first 384
// code points, alone and with more text after one of them, orders as ICU orders it.
TEST(StringCompare, CaseInsensitiveOrderOfLatinPairsEqualsICU)
{
    for (int x = 0; x < 0x180; ++x) {
        for (int y = 0; y < 0x180; ++y) {
            for (const std::u16string& tail :
                 {std::u16string(), std::u16string(u"s"), std::u16string(u"\u00DF")}) {
                std::u16string a = std::u16string(1, static_cast<char16_t>(x)) + tail;
                std::u16string b(1, static_cast<char16_t>(y));
                ASSERT_EQ(compare(a, b, kCFCompareCaseInsensitive), icuCompare(a, b, true))
                    << "U+" << std::hex << x << " U+" << y << " tail " << tail.size();
                ASSERT_EQ(compare(b, a, kCFCompareCaseInsensitive), icuCompare(b, a, true))
                    << "U+" << std::hex << y << " U+" << x << " tail " << tail.size();
            }
        }
    }
}

TEST(StringCompare, FlagsFoldWhatTheyName)
{
    struct Row
    {
        std::u16string a;
        std::u16string b;
        CFStringCompareFlags flags;
        CFComparisonResult expected;
    };
    std::vector<Row> rows = {
        {u"abc", u"ABC", kCFCompareCaseInsensitive, kCFCompareEqualTo},
        {u"\u00E9", u"e", 0, kCFCompareGreaterThan},
        {u"\u00E9", u"e", kCFCompareDiacriticInsensitive, kCFCompareEqualTo},
        {u"e\u0301", u"e", kCFCompareDiacriticInsensitive, kCFCompareEqualTo},
        {u"\u00C9", u"e", kCFCompareDiacriticInsensitive, kCFCompareLessThan},
        {u"\u00C9", u"e", kCFCompareDiacriticInsensitive | kCFCompareCaseInsensitive, kCFCompareEqualTo},
        {u"\uFF21", u"A", 0, kCFCompareGreaterThan},
        {u"\uFF21", u"A", kCFCompareWidthInsensitive, kCFCompareEqualTo},
        {u"\uFF76", u"\u30AB", kCFCompareWidthInsensitive, kCFCompareEqualTo},
        {u"\uFF41", u"A", kCFCompareWidthInsensitive | kCFCompareCaseInsensitive, kCFCompareEqualTo},
        // Width folding touches only wide and narrow forms, not other compatibility characters.
        {u"\uFB01", u"fi", kCFCompareWidthInsensitive, kCFCompareGreaterThan},
        {u"file9", u"file10", 0, kCFCompareGreaterThan},
        {u"file9", u"file10", kCFCompareNumerically, kCFCompareLessThan},
        {u"file10", u"file10", kCFCompareNumerically, kCFCompareEqualTo},
        {u"file10b", u"file10a", kCFCompareNumerically, kCFCompareGreaterThan},
        {u"v2.10", u"v2.9", kCFCompareNumerically, kCFCompareGreaterThan},
        {u"99999999999999999999999", u"100000000000000000000000", kCFCompareNumerically, kCFCompareLessThan},
        {u"File9", u"file10", kCFCompareNumerically | kCFCompareCaseInsensitive, kCFCompareLessThan},
        {u"abc", u"ABC", kCFCompareLocalized | kCFCompareAnchored, kCFCompareGreaterThan},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&row - rows.data()));
        EXPECT_EQ(compare(row.a, row.b, row.flags), row.expected);
        EXPECT_EQ(compare(row.b, row.a, row.flags), -row.expected);
    }
}

} // namespace
