#include "UtfConvertMac.h"

#include <AutoCFRef.h>
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cstring>
#include <utility>

unsigned long MacRoman_to_utf16(const unsigned char* in, unsigned long n, UTF16String& out)
{
    out.clear();
    if (n == 0) {
        return 0;
    }
    const auto_cfref<CFStringRef> text(CFStringCreateWithBytes(
        kCFAllocatorDefault, in, static_cast<CFIndex>(n), kCFStringEncodingMacRoman, false));
    if (!text.get()) {
        return 0;
    }
    out.resize(static_cast<std::size_t>(CFStringGetLength(text.get())));
    CFStringGetCharacters(text.get(), CFRangeMake(0, static_cast<CFIndex>(out.size())), out.data());
    out.resize(std::min(out.size(), out.find(static_cast<unsigned short>(0))));
    return 2 * out.size();
}

unsigned long utf16_to_MacRoman(const unsigned short* in, unsigned long n, std::string& out)
{
    if (n == 0) {
        out.clear();
        return 0;
    }
    const auto_cfref<CFStringRef> text(
        CFStringCreateWithCharacters(kCFAllocatorDefault, in, static_cast<CFIndex>(n)));
    // One byte a unit and the terminating 0.
    std::string bytes(n + 1, '\0');
    if (!CFStringGetCString(text.get(), bytes.data(), static_cast<CFIndex>(bytes.size()),
                            kCFStringEncodingMacRoman)) {
        return 0;
    }
    bytes.resize(std::strlen(bytes.c_str()));
    out = std::move(bytes);
    return out.size();
}
