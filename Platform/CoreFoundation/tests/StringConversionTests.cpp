#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <unicode/ucnv.h>
#include <unicode/ustring.h>
#include <vector>

namespace {

using Bytes = std::vector<UInt8>;

// A CFString that releases itself.
class String
{
public:
    explicit String(CFStringRef string) : fString(string) {}
    ~String()
    {
        if (fString) {
            CFRelease(fString);
        }
    }
    String(const String&) = delete;
    String& operator=(const String&) = delete;

    CFStringRef get() const { return fString; }

    std::u16string characters() const
    {
        std::u16string units(static_cast<size_t>(CFStringGetLength(fString)), u'\0');
        CFStringGetCharacters(fString, CFRangeMake(0, static_cast<CFIndex>(units.size())),
                              reinterpret_cast<UniChar*>(units.data()));
        return units;
    }

private:
    CFStringRef fString;
};

CFStringRef fromBytes(const Bytes& bytes, CFStringEncoding encoding)
{
    return CFStringCreateWithBytes(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size()), encoding,
                                   false);
}

CFStringRef fromUnits(const std::u16string& units)
{
    return CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(units.data()),
                                        static_cast<CFIndex>(units.size()));
}

// All bytes of the string in an encoding, as CFStringGetBytes gives them.
Bytes bytesOf(CFStringRef string, CFStringEncoding encoding, bool external = false)
{
    CFRange all = CFRangeMake(0, CFStringGetLength(string));
    CFIndex needed = 0;
    CFStringGetBytes(string, all, encoding, 0, external, nullptr, 0, &needed);
    Bytes bytes(static_cast<size_t>(needed));
    CFIndex used = 0;
    EXPECT_EQ(CFStringGetBytes(string, all, encoding, 0, external, bytes.data(), needed, &used), all.length);
    EXPECT_EQ(used, needed);
    return bytes;
}

// ICU's own conversion of UTF-16 into the named encoding.
Bytes icuFromUnicode(const char* converterName, const std::u16string& units)
{
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(converterName, &status);
    EXPECT_TRUE(U_SUCCESS(status));
    Bytes bytes(units.size() * 4 + 4);
    int32_t length =
        ucnv_fromUChars(converter, reinterpret_cast<char*>(bytes.data()), static_cast<int32_t>(bytes.size()),
                        units.data(), static_cast<int32_t>(units.size()), &status);
    ucnv_close(converter);
    EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    bytes.resize(static_cast<size_t>(length));
    return bytes;
}

std::u16string icuToUnicode(const char* converterName, const Bytes& bytes)
{
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(converterName, &status);
    std::u16string units(bytes.size() + 1, u'\0');
    int32_t length = ucnv_toUChars(converter, units.data(), static_cast<int32_t>(units.size()),
                                   reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<int32_t>(bytes.size()), &status);
    ucnv_close(converter);
    EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    units.resize(static_cast<size_t>(length));
    return units;
}

// A random text whose code points come from the given blocks.
std::u16string randomText(std::mt19937& random, const std::vector<std::pair<char32_t, char32_t>>& blocks,
                          size_t codePoints)
{
    std::u32string text;
    for (size_t i = 0; i < codePoints; ++i) {
        const auto& [first, last] = blocks[random() % blocks.size()];
        text += static_cast<char32_t>(first + random() % (last - first + 1));
    }
    std::u16string units(text.size() * 2, u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF32(units.data(), static_cast<int32_t>(units.size()), &length,
                   reinterpret_cast<const UChar32*>(text.data()), static_cast<int32_t>(text.size()), &status);
    EXPECT_TRUE(U_SUCCESS(status));
    units.resize(static_cast<size_t>(length));
    return units;
}

TEST(StringConversion, RandomTextsMatchICUInEveryUnicodeForm)
{
    std::vector<std::pair<const char*, std::vector<std::pair<char32_t, char32_t>>>> scripts = {
        {"ASCII", {{0x20, 0x7E}}},
        {"Latin", {{0x20, 0x7E}, {0xA0, 0x24F}}},
        {"CJK", {{0x4E00, 0x9FFF}, {0x3040, 0x30FF}}},
        {"emoji", {{0x1F300, 0x1F5FF}, {0x1F600, 0x1F64F}, {0x20, 0x7E}}},
        {"mixed", {{0x00, 0x7F}, {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}}},
    };
    std::mt19937 random(2111);
    for (const auto& [name, blocks] : scripts) {
        for (size_t length : {0, 1, 7, 64, 1000}) {
            SCOPED_TRACE(std::string(name) + " of " + std::to_string(length));
            std::u16string units = randomText(random, blocks, length);
            Bytes utf8 = icuFromUnicode("UTF-8", units);

            String fromUTF8(fromBytes(utf8, kCFStringEncodingUTF8));
            ASSERT_NE(fromUTF8.get(), nullptr);
            EXPECT_EQ(fromUTF8.characters(), units);

            String fromUTF16(fromUnits(units));
            EXPECT_EQ(bytesOf(fromUTF16.get(), kCFStringEncodingUTF8), utf8);
            EXPECT_EQ(bytesOf(fromUTF16.get(), kCFStringEncodingUTF16BE), icuFromUnicode("UTF-16BE", units));
            EXPECT_EQ(bytesOf(fromUTF16.get(), kCFStringEncodingUTF16LE), icuFromUnicode("UTF-16LE", units));

            std::string cString(utf8.size() + 1, '\0');
            ASSERT_TRUE(CFStringGetCString(fromUTF16.get(), cString.data(),
                                           static_cast<CFIndex>(cString.size()), kCFStringEncodingUTF8));
            EXPECT_EQ(std::string(cString.c_str()), std::string(utf8.begin(), utf8.end()).c_str());

            String fromBigEndian(fromBytes(icuFromUnicode("UTF-16BE", units), kCFStringEncodingUTF16BE));
            EXPECT_EQ(fromBigEndian.characters(), units);
        }
    }
}

TEST(StringConversion, IllFormedBytesGiveNull)
{
    struct Row
    {
        const char* name;
        Bytes bytes;
        CFStringEncoding encoding;
    };
    std::vector<Row> rows = {
        {"bad second byte", {0x41, 0xC3, 0x28, 0x42}, kCFStringEncodingUTF8},
        {"cut off by the end", {0xE2, 0x82}, kCFStringEncodingUTF8},
        {"overlong NUL", {0xC0, 0x80}, kCFStringEncodingUTF8},
        {"above U+10FFFF", {0xF5, 0x80, 0x80, 0x80}, kCFStringEncodingUTF8},
        {"bad continuation after F4", {0xF4, 0x41, 0x80, 0x80}, kCFStringEncodingUTF8},
        {"lone continuation byte", {0x80}, kCFStringEncodingUTF8},
        {"encoded surrogate", {0xED, 0xA0, 0x80}, kCFStringEncodingUTF8},
        {"lone low surrogate", {0xDC, 0x00}, kCFStringEncodingUTF16BE},
        {"high surrogate at the end", {0x00, 0x41, 0xD8, 0x3D}, kCFStringEncodingUTF16BE},
        {"high surrogate before a letter", {0x3D, 0xD8, 0x41, 0x00}, kCFStringEncodingUTF16LE},
        {"odd byte count", {0x41, 0x00, 0x42}, kCFStringEncodingUTF16LE},
        {"byte above ASCII", {0x41, 0x80}, kCFStringEncodingASCII},
        {"unknown encoding", {0x41}, 0x7777},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(fromBytes(row.bytes, row.encoding), nullptr);
    }
}

// ICU's own decoding of UTF-8, or nullopt where it refuses the bytes.
std::optional<std::u16string> icuFromUTF8(const Bytes& bytes)
{
    std::u16string units(bytes.size(), u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(units.data(), static_cast<int32_t>(units.size()), &length,
                  reinterpret_cast<const char*>(bytes.data()), static_cast<int32_t>(bytes.size()), &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    units.resize(static_cast<size_t>(length));
    return units;
}

// Every sequence of up to four bytes drawn from the edges of the UTF-8 byte classes (ASCII,
// continuation ranges, lead ranges with their restricted second bytes, bytes never used), after
// ASCII runs that put it at the start, across an eight-byte word and across a sixteen-byte chunk.
TEST(StringConversion, UTF8IsAcceptedAndDecodedExactlyAsICUDoes)
{
    const std::vector<UInt8> edges = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                      0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    for (size_t prefix : {0, 6, 15}) {
        std::vector<Bytes> sequences = {Bytes(prefix, 'a')};
        for (size_t length = 1; length <= 4; ++length) {
            std::vector<Bytes> longer;
            for (const Bytes& sequence : sequences) {
                for (UInt8 byte : edges) {
                    longer.push_back(sequence);
                    longer.back().push_back(byte);
                }
            }
            for (const Bytes& bytes : longer) {
                std::optional<std::u16string> expected = icuFromUTF8(bytes);
                String decoded(fromBytes(bytes, kCFStringEncodingUTF8));
                ASSERT_EQ(decoded.get() != nullptr, expected.has_value()) << testing::PrintToString(bytes);
                if (expected) {
                    ASSERT_EQ(decoded.characters(), *expected) << testing::PrintToString(bytes);
                }
            }
            sequences = std::move(longer);
        }
    }
}

// ASCII is widened in chunks and other text is counted a word at a time: lengths around both, with
// the first non-ASCII character at every place.
TEST(StringConversion, UTF8OfEveryLengthAroundTheWordAndChunkSizes)
{
    const std::string characters[] = {"\x7F", "\xC3\xA9", "\xE6\x9D\xB1", "\xF0\x9F\x98\x80"};
    for (size_t length = 0; length <= 40; ++length) {
        std::string ascii;
        for (size_t i = 0; i < length; ++i) {
            ascii += static_cast<char>(0x20 + (i * 7) % 0x5F);
        }
        for (const std::string& character : characters) {
            for (size_t at = 0; at <= length; ++at) {
                std::string text = ascii.substr(0, at) + character + ascii.substr(at);
                Bytes bytes(text.begin(), text.end());
                SCOPED_TRACE(testing::PrintToString(bytes));
                String decoded(fromBytes(bytes, kCFStringEncodingUTF8));
                ASSERT_NE(decoded.get(), nullptr);
                EXPECT_EQ(decoded.characters(), icuFromUTF8(bytes).value());
                // Cut inside a sequence of more than one byte, the text is refused.
                if (character.size() > 1) {
                    Bytes cut(bytes.begin(), bytes.begin() + static_cast<long>(at + character.size() - 1));
                    EXPECT_EQ(String(fromBytes(cut, kCFStringEncodingUTF8)).get(), nullptr);
                }
            }
        }
    }
}

TEST(StringConversion, ByteOrderMarkPicksTheOrderOfUTF16)
{
    std::u16string expected = u"A\u00E9\U0001F600";
    Bytes big = {0xFE, 0xFF, 0x00, 0x41, 0x00, 0xE9, 0xD8, 0x3D, 0xDE, 0x00};
    Bytes little = {0xFF, 0xFE, 0x41, 0x00, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE};
    EXPECT_EQ(String(fromBytes(big, kCFStringEncodingUTF16)).characters(), expected);
    EXPECT_EQ(String(fromBytes(little, kCFStringEncodingUTF16)).characters(), expected);
    // Without a mark the units are in host order.
    EXPECT_EQ(String(fromBytes(Bytes(little.begin() + 2, little.end()), kCFStringEncodingUTF16)).characters(),
              expected);

    String string(fromUnits(expected));
    Bytes external = bytesOf(string.get(), kCFStringEncodingUTF16, true);
    EXPECT_EQ(external, little);
    EXPECT_EQ(String(fromBytes(external, kCFStringEncodingUTF16)).characters(), expected);
}

TEST(StringConversion, EveryMacRomanByteMatchesICUBothWays)
{
    for (int value = 0; value < 256; ++value) {
        SCOPED_TRACE(value);
        Bytes byte = {static_cast<UInt8>(value)};
        std::u16string icu = icuToUnicode("macintosh", byte);
        ASSERT_EQ(icu.size(), 1u);

        String decoded(fromBytes(byte, kCFStringEncodingMacRoman));
        ASSERT_NE(decoded.get(), nullptr);
        EXPECT_EQ(decoded.characters(), icu);

        String fromICU(fromUnits(icu));
        EXPECT_EQ(bytesOf(fromICU.get(), kCFStringEncodingMacRoman), icuFromUnicode("macintosh", icu));
        EXPECT_EQ(bytesOf(fromICU.get(), kCFStringEncodingMacRoman), byte);
    }
    EXPECT_EQ(String(fromBytes({0xDB}, kCFStringEncodingMacRoman)).characters(), u"\u20AC");
    EXPECT_EQ(String(fromBytes({0xBD}, kCFStringEncodingMacRoman)).characters(), u"\u03A9");
}

TEST(StringConversion, GetCStringAnswersFalseInsteadOfLosingText)
{
    struct Row
    {
        const char* name;
        std::u16string text;
        CFStringEncoding encoding;
        CFIndex bufferSize;
        bool converts;
        std::string expected;
    };
    std::vector<Row> rows = {
        {"Mac OS Roman text", u"caf\u00E9 \u20AC", kCFStringEncodingMacRoman, 16, true, "caf\x8E \xDB"},
        {"surrogate pair in Mac OS Roman", u"a\U0001F600", kCFStringEncodingMacRoman, 16, false, ""},
        {"CJK in Mac OS Roman", u"\u4E00", kCFStringEncodingMacRoman, 16, false, ""},
        {"non-ASCII in ASCII", u"\u00E9", kCFStringEncodingASCII, 16, false, ""},
        {"Latin 1", u"\u00FF", kCFStringEncodingISOLatin1, 16, true, "\xFF"},
        {"buffer of exact size", u"abc", kCFStringEncodingUTF8, 4, true, "abc"},
        {"buffer one byte short", u"abc", kCFStringEncodingUTF8, 3, false, ""},
        {"two-byte character one byte short", u"\u00E9", kCFStringEncodingUTF8, 2, false, ""},
        {"lone surrogate in UTF-8", u"a\xD800", kCFStringEncodingUTF8, 16, false, ""},
        {"empty buffer", u"", kCFStringEncodingUTF8, 0, false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        String string(fromUnits(row.text));
        std::string buffer(static_cast<size_t>(row.bufferSize) + 1, '\x7F');
        EXPECT_EQ(
            static_cast<bool>(CFStringGetCString(string.get(), buffer.data(), row.bufferSize, row.encoding)),
            row.converts);
        if (row.converts) {
            EXPECT_EQ(std::string(buffer.c_str()), row.expected);
        }
        EXPECT_EQ(buffer.back(), '\x7F') << "wrote past the buffer";
    }
}

TEST(StringConversion, GetBytesStopsOrSubstitutesAtUnconvertibleCharacters)
{
    String string(fromUnits(u"a\u4E00b\U0001F600c"));
    CFRange all = CFRangeMake(0, CFStringGetLength(string.get()));
    UInt8 buffer[16];
    CFIndex used = 0;
    EXPECT_EQ(CFStringGetBytes(string.get(), all, kCFStringEncodingMacRoman, 0, false, buffer, 16, &used), 1);
    EXPECT_EQ(used, 1);
    EXPECT_EQ(CFStringGetBytes(string.get(), all, kCFStringEncodingMacRoman, '?', false, buffer, 16, &used),
              6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(used)), "a?b?c");
    // A full buffer stops before a character that does not fit whole.
    EXPECT_EQ(CFStringGetBytes(string.get(), all, kCFStringEncodingUTF8, 0, false, buffer, 6, &used), 3);
    EXPECT_EQ(used, 5);
    EXPECT_EQ(
        CFStringGetBytes(string.get(), CFRangeMake(3, 2), kCFStringEncodingUTF8, 0, false, buffer, 16, &used),
        2);
    EXPECT_EQ(Bytes(buffer, buffer + used), (Bytes{0xF0, 0x9F, 0x98, 0x80}));
}

TEST(StringConversion, MaximumSizeCoversEveryText)
{
    String worst(fromUnits(u"\uFFFF\U0001F600"));
    EXPECT_LE(static_cast<CFIndex>(bytesOf(worst.get(), kCFStringEncodingUTF8).size()),
              CFStringGetMaximumSizeForEncoding(CFStringGetLength(worst.get()), kCFStringEncodingUTF8));
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingUTF16BE), 20);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingMacRoman), 10);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, 0x7777), kCFNotFound);
}

TEST(StringConversion, MutableStringsAppendAndCopy)
{
    CFMutableStringRef text = CFStringCreateMutable(nullptr, 0);
    CFStringAppendCString(text, "caf\x8E", kCFStringEncodingMacRoman);
    const UniChar space[] = {u' '};
    CFStringAppendCharacters(text, space, 1);
    CFStringRef copy = CFStringCreateCopy(nullptr, text);
    CFStringAppend(text, text);
    EXPECT_EQ(String(CFStringCreateMutableCopy(nullptr, 0, text)).characters(), u"caf\u00E9 caf\u00E9 ");
    EXPECT_EQ(CFStringGetCharacterAtIndex(text, 3), u'\u00E9');
    EXPECT_TRUE(CFEqual(copy, CFSTR("caf\u00E9 ")));
    CFRelease(copy);
    CFRelease(text);
}

TEST(StringConversion, ConstantStringsKeepTheirBytes)
{
    EXPECT_STREQ(CFStringGetCStringPtr(CFSTR("plain"), kCFStringEncodingASCII), "plain");
    EXPECT_STREQ(CFStringGetCStringPtr(CFSTR("caf\u00E9"), kCFStringEncodingUTF8), "caf\u00E9");
    EXPECT_EQ(CFStringGetCStringPtr(CFSTR("caf\u00E9"), kCFStringEncodingMacRoman), nullptr);
    EXPECT_EQ(CFStringGetLength(CFSTR("caf\u00E9 \U0001F600")), 7);
}

using StringConversionDeathTest = testing::Test;

TEST_F(StringConversionDeathTest, IndexOutsideTheStringEndsTheProcess)
{
    EXPECT_DEATH(CFStringGetCharacterAtIndex(CFSTR("ab"), 2), "CFStringGetCharacterAtIndex");
    UniChar buffer[4];
    EXPECT_DEATH(CFStringGetCharacters(CFSTR("ab"), CFRangeMake(1, 2), buffer), "CFStringGetCharacters");
    EXPECT_DEATH(
        CFStringAppendCString(const_cast<CFMutableStringRef>(CFSTR("ab")), "c", kCFStringEncodingUTF8),
        "immutable");
}

} // namespace
