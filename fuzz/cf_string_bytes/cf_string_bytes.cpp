// Bytes in one of the encodings a file or a device may hand over become a CFString; whatever is
// accepted must convert back to the same bytes and compare equal to itself under every option.

#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

enum class Mode : uint8_t
{
    UTF8,
    MacRoman,
    ASCII,
    UTF16LE,
    UTF16BE,
    UTF16WithMark,
    Count
};

CFStringEncoding encodingOf(Mode mode)
{
    switch (mode) {
    case Mode::UTF8:
        return kCFStringEncodingUTF8;
    case Mode::MacRoman:
        return kCFStringEncodingMacRoman;
    case Mode::ASCII:
        return kCFStringEncodingASCII;
    case Mode::UTF16LE:
        return kCFStringEncodingUTF16LE;
    case Mode::UTF16BE:
        return kCFStringEncodingUTF16BE;
    default:
        return kCFStringEncodingUTF16;
    }
}

void check(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

std::vector<UInt8> bytesOf(CFStringRef string, CFStringEncoding encoding, bool external)
{
    CFIndex length = CFStringGetLength(string);
    CFIndex needed = 0;
    check(CFStringGetBytes(string, CFRangeMake(0, length), encoding, 0, external, nullptr, 0, &needed) ==
          length);
    std::vector<UInt8> bytes(static_cast<size_t>(needed));
    CFIndex used = 0;
    check(CFStringGetBytes(string, CFRangeMake(0, length), encoding, 0, external, bytes.data(), needed,
                           &used) == length);
    check(used == needed);
    return bytes;
}

// With a byte-order mark the rest is in the order the mark names; without one, in host order.
CFStringEncoding orderOfMarkedBytes(const uint8_t* data, size_t size, size_t& markLength)
{
    markLength = 0;
    if (size >= 2 && data[0] == 0xFE && data[1] == 0xFF) {
        markLength = 2;
        return kCFStringEncodingUTF16BE;
    }
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        markLength = 2;
        return kCFStringEncodingUTF16LE;
    }
    return kCFStringEncodingUTF16;
}

void checkRoundTrip(CFStringRef string, Mode mode, const uint8_t* data, size_t size)
{
    CFStringEncoding encoding = encodingOf(mode);
    size_t markLength = 0;
    if (mode == Mode::UTF16WithMark) {
        encoding = orderOfMarkedBytes(data, size, markLength);
    }
    std::vector<UInt8> back = bytesOf(string, encoding, false);
    check(back == std::vector<UInt8>(data + markLength, data + size));
    check(static_cast<CFIndex>(back.size()) <=
          CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), encodingOf(mode)));

    // The external form of UTF-16 carries a mark and reads back as the same text.
    std::vector<UInt8> external = bytesOf(string, kCFStringEncodingUTF16, true);
    CFStringRef reread = CFStringCreateWithBytes(
        nullptr, external.data(), static_cast<CFIndex>(external.size()), kCFStringEncodingUTF16, true);
    check(reread && CFEqual(reread, string));
    CFRelease(reread);

    // Accepted text is well-formed, so it has a UTF-8 form too.
    std::vector<UInt8> utf8 = bytesOf(string, kCFStringEncodingUTF8, false);
    CFStringRef fromUTF8 = CFStringCreateWithBytes(nullptr, utf8.data(), static_cast<CFIndex>(utf8.size()),
                                                   kCFStringEncodingUTF8, false);
    check(fromUTF8 && CFEqual(fromUTF8, string) && CFHash(fromUTF8) == CFHash(string));
    CFRelease(fromUTF8);
}

void checkComparesEqualToItself(CFStringRef string)
{
    const CFStringCompareFlags options[] = {kCFCompareCaseInsensitive, kCFCompareNumerically,
                                            kCFCompareDiacriticInsensitive, kCFCompareWidthInsensitive};
    CFMutableStringRef copy = CFStringCreateMutableCopy(nullptr, 0, string);
    for (unsigned combination = 0; combination < 16; ++combination) {
        CFStringCompareFlags flags = 0;
        for (unsigned bit = 0; bit < 4; ++bit) {
            if (combination & (1u << bit)) {
                flags |= options[bit];
            }
        }
        check(CFStringCompare(string, copy, flags) == kCFCompareEqualTo);
    }
    CFRelease(copy);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    auto mode = static_cast<Mode>(data[0] % static_cast<uint8_t>(Mode::Count));
    ++data;
    --size;
    CFStringRef string =
        CFStringCreateWithBytes(nullptr, data, static_cast<CFIndex>(size), encodingOf(mode), false);
    if (!string) {
        return 0;
    }
    checkRoundTrip(string, mode, data, size);
    checkComparesEqualToItself(string);
    CFRelease(string);
    return 0;
}
