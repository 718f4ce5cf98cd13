#include "UStringConvertMac.h"

#include <algorithm>

namespace {

constexpr CFIndex kLongestHFSName = 255;

// A record read from outside may claim more units than it holds.
CFIndex unitsOf(const HFSUniStr255& name)
{
    return std::min<CFIndex>(name.length, kLongestHFSName);
}

auto_cfref<CFMutableStringRef> mutableStringOf(const UniChar* units, CFIndex n)
{
    auto_cfref<CFMutableStringRef> s(CFStringCreateMutable(kCFAllocatorDefault, 0));
    CFStringAppendCharacters(s.get(), units, n);
    return s;
}

} // namespace

auto_cfref<CFStringRef> UStringToCF(const UString& s)
{
    return auto_cfref<CFStringRef>(
        CFStringCreateWithCharacters(kCFAllocatorDefault, s.data(), static_cast<CFIndex>(s.length())));
}

auto_cfref<CFMutableStringRef> UStringToCFMutable(const UString& s)
{
    return mutableStringOf(s.data(), static_cast<CFIndex>(s.length()));
}

UString CFToUString(CFStringRef s)
{
    if (!s) {
        return UString();
    }
    UTF16String units(static_cast<std::size_t>(CFStringGetLength(s)), 0);
    CFStringGetCharacters(s, CFRangeMake(0, static_cast<CFIndex>(units.size())), units.data());
    return UString(units);
}

HFSUniStr255 UStringToHFS(const UString& s)
{
    HFSUniStr255 name{};
    name.length = static_cast<UInt16>(std::min<std::size_t>(s.length(), kLongestHFSName));
    std::copy_n(s.data(), name.length, name.unicode);
    return name;
}

UString HFSToUString(const HFSUniStr255& name)
{
    return UString(name.unicode, static_cast<std::size_t>(unitsOf(name)));
}

HFSUniStr255 CFStringToHFS(CFStringRef s)
{
    HFSUniStr255 name{};
    if (s) {
        name.length = static_cast<UInt16>(std::min(CFStringGetLength(s), kLongestHFSName));
        CFStringGetCharacters(s, CFRangeMake(0, name.length), name.unicode);
    }
    return name;
}

auto_cfref<CFStringRef> HFSToCFString(const HFSUniStr255& name)
{
    return auto_cfref<CFStringRef>(
        CFStringCreateWithCharacters(kCFAllocatorDefault, name.unicode, unitsOf(name)));
}

auto_cfref<CFMutableStringRef> HFSToCFMutableString(const HFSUniStr255& name)
{
    return mutableStringOf(name.unicode, unitsOf(name));
}
