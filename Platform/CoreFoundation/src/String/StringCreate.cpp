#include "String/Encoding.h"
#include "String/StringObject.h"

#include <cstring>

using CFPlatform::ImmutableString;
using CFPlatform::MutableString;
using CFPlatform::StringObject;

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* chars, CFIndex numChars)
{
    if (numChars < 0 || (!chars && numChars > 0)) {
        return nullptr;
    }
    auto* units = reinterpret_cast<const char16_t*>(chars);
    return ImmutableString::create(std::u16string_view(units, static_cast<size_t>(numChars)))->ref();
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean)
{
    if (numBytes < 0 || (!bytes && numBytes > 0)) {
        return nullptr;
    }
    ImmutableString* string = CFPlatform::decodeBytes(bytes, static_cast<size_t>(numBytes), encoding);
    return string ? string->ref() : nullptr;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding)
{
    if (!cStr) {
        return nullptr;
    }
    return CFStringCreateWithBytes(alloc, reinterpret_cast<const UInt8*>(cStr),
                                   static_cast<CFIndex>(std::strlen(cStr)), encoding, false);
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef theString)
{
    const StringObject& string = CFPlatform::stringOf(theString, "CFStringCreateCopy");
    if (!string.isMutable()) {
        return static_cast<CFStringRef>(CFRetain(theString));
    }
    return ImmutableString::create(string.characters())->ref();
}

CFMutableStringRef CFStringCreateMutable(CFAllocatorRef, CFIndex)
{
    return (new MutableString(u""))->mutableRef();
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef, CFIndex, CFStringRef theString)
{
    return (new MutableString(CFPlatform::viewOf(theString, "CFStringCreateMutableCopy")))->mutableRef();
}
