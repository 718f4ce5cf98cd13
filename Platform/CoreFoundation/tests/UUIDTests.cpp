#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <regex>
#include <set>
#include <string>

namespace {

std::string utf8(CFStringRef string)
{
    char text[64] = {};
    EXPECT_TRUE(CFStringGetCString(string, text, sizeof text, kCFStringEncodingUTF8));
    return text;
}

std::string hexOf(const CFUUIDBytes& bytes)
{
    const auto* raw = reinterpret_cast<const UInt8*>(&bytes);
    std::string hex;
    for (size_t i = 0; i < 16; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", raw[i]);
        hex += digits;
    }
    return hex;
}

// What Python's uuid module reads from the text: its hex digits, version and whether the variant
// is RFC 4122's.
std::string readByPython(const std::string& text)
{
    std::string command = "python3 -c 'import sys, uuid; u = uuid.UUID(sys.argv[1]); "
                          "print(u.hex, u.version, u.variant == uuid.RFC_4122)' " +
                          text;
    FILE* pipe = popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    std::array<char, 256> output{};
    std::string result =
        std::fgets(output.data(), static_cast<int>(output.size()), pipe) ? output.data() : "";
    EXPECT_EQ(pclose(pipe), 0);
    return result;
}

TEST(UUID, CreatedUUIDsAreRandomVersion4)
{
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        CFUUIDRef uuid = CFUUIDCreate(nullptr);
        CFUUIDBytes bytes = CFUUIDGetUUIDBytes(uuid);
        EXPECT_EQ(bytes.byte6 >> 4, 4);
        EXPECT_EQ(bytes.byte8 & 0xC0, 0x80);
        seen.insert(hexOf(bytes));
        CFRelease(uuid);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(UUID, TextIsReadBackByPython)
{
    CFUUIDRef uuid = CFUUIDCreate(nullptr);
    CFStringRef string = CFUUIDCreateString(nullptr, uuid);
    std::string text = utf8(string);
    EXPECT_TRUE(
        std::regex_match(text, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
        << text;
    EXPECT_EQ(readByPython(text), hexOf(CFUUIDGetUUIDBytes(uuid)) + " 4 True\n");

    CFUUIDRef parsed = CFUUIDCreateFromString(nullptr, string);
    EXPECT_TRUE(CFEqual(parsed, uuid));
    EXPECT_EQ(CFHash(parsed), CFHash(uuid));
    for (CFTypeRef object : std::vector<CFTypeRef>{uuid, string, parsed}) {
        CFRelease(object);
    }
}

TEST(UUID, FromStringAcceptsOnlyTheCanonicalForm)
{
    CFUUIDRef lower = CFUUIDCreateFromString(nullptr, CFSTR("0a1b2c3d-4e5f-4071-8293-a4b5c6d7e8f9"));
    ASSERT_NE(lower, nullptr);
    CFStringRef text = CFUUIDCreateString(nullptr, lower);
    EXPECT_EQ(utf8(text), "0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9");
    CFRelease(text);
    CFRelease(lower);
    for (CFStringRef bad :
         {CFSTR(""), CFSTR("0a1b2c3d-4e5f-4071-8293-a4b5c6d7e8f"),
          CFSTR("0a1b2c3d-4e5f-4071-8293-a4b5c6d7e8f90"), CFSTR("0a1b2c3d44e5f-4071-8293-a4b5c6d7e8f9"),
          CFSTR("0a1b2c3d-4e5f-4071-8293-a4b5c6d7e8fg"), CFSTR("{a1b2c3d-4e5f-4071-8293-a4b5c6d7e8f9}")}) {
        EXPECT_EQ(CFUUIDCreateFromString(nullptr, bad), nullptr) << utf8(bad);
    }
}

TEST(UUID, ConstantUUIDsAreUniquedByTheirBytes)
{
    CFUUIDRef first = CFUUIDGetConstantUUIDWithBytes(nullptr, 0xE2, 0xB1, 0x2C, 0x4A, 0x11, 0x22, 0x43, 0x33,
                                                     0x84, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA);
    CFUUIDRef second = CFUUIDGetConstantUUIDWithBytes(nullptr, 0xE2, 0xB1, 0x2C, 0x4A, 0x11, 0x22, 0x43, 0x33,
                                                      0x84, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA);
    CFUUIDRef other = CFUUIDGetConstantUUIDWithBytes(nullptr, 0xE2, 0xB1, 0x2C, 0x4A, 0x11, 0x22, 0x43, 0x33,
                                                     0x84, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAB);
    EXPECT_EQ(first, second);
    EXPECT_NE(first, other);
    CFUUIDRef fromBytes = CFUUIDCreateFromUUIDBytes(nullptr, CFUUIDGetUUIDBytes(first));
    EXPECT_NE(fromBytes, first);
    EXPECT_TRUE(CFEqual(fromBytes, first));
    EXPECT_FALSE(CFEqual(fromBytes, other));
    CFRelease(fromBytes);
}

} // namespace
