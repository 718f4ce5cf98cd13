#include <utf8_encodestr.h>

#include <unicode/ucnv.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

struct EncodeCase
{
    const char* name;
    std::vector<uint16_t> units;
    size_t bufferSize;
    uint16_t alternativeSlash;
    int flags;
    std::vector<uint8_t> bytes; // what lands in the buffer, terminator included
    size_t written;
    int result;
};

class DextUtf8Encode : public testing::TestWithParam<EncodeCase>
{};

TEST_P(DextUtf8Encode, WritesTheExpectedBytes)
{
    const EncodeCase& c = GetParam();
    std::vector<uint8_t> buffer(c.bufferSize + 4, 0xEE);
    size_t written = 99;

    const int result = utf8_encodestr(c.units.data(), c.units.size() * 2, buffer.data(), &written,
                                      c.bufferSize, c.alternativeSlash, c.flags);

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + c.bytes.size()), c.bytes);
    // Nothing past what was written, terminator included.
    EXPECT_EQ(buffer[c.bytes.size()], 0xEE);
}

uint16_t swapped(uint16_t unit)
{
    return static_cast<uint16_t>((unit << 8) | (unit >> 8));
}

INSTANTIATE_TEST_SUITE_P(
    DextCases, DextUtf8Encode,
    testing::Values(
        EncodeCase{"NoTerminator", {'A', 'b'}, 2, 0, UTF_NO_NULL_TERM, {'A', 'b'}, 2, 0},
        EncodeCase{"TooLongKeepsRoomForTheTerminator", {'A', 'b'}, 2, 0, 0, {'A', 0}, 1, 63},
        EncodeCase{"ZeroUnit", {0}, 8, 0, 0, {0xC0, 0x80, 0}, 2, 0},
        EncodeCase{"TwoBytes", {0x00E9}, 8, 0, 0, {0xC3, 0xA9, 0}, 2, 0},
        EncodeCase{"ThreeBytes", {0x20AC}, 8, 0, 0, {0xE2, 0x82, 0xAC, 0}, 3, 0},
        EncodeCase{
            "SurrogatesOneByOne", {0xD83D, 0xDE00}, 8, 0, 0, {0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80, 0}, 6, 0},
        EncodeCase{"ByteSwapped",
                   {swapped(0x20AC), swapped('x')},
                   8,
                   0,
                   UTF_REVERSE_ENDIAN,
                   {0xE2, 0x82, 0xAC, 'x', 0},
                   4,
                   0},
        EncodeCase{"AlternativeSlash", {'a', '/', 'b'}, 8, ':', 0, {'a', ':', 'b', 0}, 3, 0},
        EncodeCase{"SlashKeptWithoutAlternative", {'/'}, 8, 0, 0, {'/', 0}, 1, 0},
        EncodeCase{"CharacterThatDoesNotFitIsLeftWhole", {'a', 0x20AC}, 3, 0, 0, {'a', 0}, 1, 63}),
    [](const testing::TestParamInfo<EncodeCase>& info) { return std::string(info.param.name); });

// Unit by unit with surrogates encoded alone is what ICU calls CESU-8.
TEST(DextUtf8EncodeAgainstIcu, MatchesCesu8ForRandomText)
{
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open("CESU-8", &status);
    ASSERT_TRUE(U_SUCCESS(status));
    std::mt19937 random(14);
    std::uniform_int_distribution<uint32_t> pick(1, 0x10FFFF);
    std::uniform_int_distribution<int> length(0, 40);

    for (int round = 0; round < 2000; ++round) {
        std::vector<uint16_t> units;
        for (int n = length(random); n > 0; --n) {
            uint32_t codePoint = pick(random);
            if (codePoint >= 0xD800 && codePoint <= 0xDFFF) {
                codePoint -= 0x800;
            }
            if (codePoint >= 0x10000) {
                units.push_back(static_cast<uint16_t>(0xD800 + ((codePoint - 0x10000) >> 10)));
                units.push_back(static_cast<uint16_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF)));
            } else {
                units.push_back(static_cast<uint16_t>(codePoint));
            }
        }
        std::vector<char> expected(units.size() * 3 + 1);
        status = U_ZERO_ERROR;
        const int32_t expectedLength = ucnv_fromUChars(
            converter, expected.data(), static_cast<int32_t>(expected.size()),
            reinterpret_cast<const UChar*>(units.data()), static_cast<int32_t>(units.size()), &status);
        ASSERT_TRUE(U_SUCCESS(status));

        std::vector<uint8_t> ours(units.size() * 3 + 1);
        size_t written = 0;
        ASSERT_EQ(utf8_encodestr(units.data(), units.size() * 2, ours.data(), &written, ours.size(), 0, 0),
                  0);
        ASSERT_EQ(written, static_cast<size_t>(expectedLength));
        ASSERT_EQ(0, std::memcmp(ours.data(), expected.data(), written)) << "round " << round;
    }
    ucnv_close(converter);
}

} // namespace
