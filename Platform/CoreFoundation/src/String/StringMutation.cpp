#include "String/Encoding.h"
#include "String/StringObject.h"

#include <cstring>

using CFPlatform::mutableStringOf;

void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString)
{
    std::u16string_view appended = CFPlatform::charactersOf(appendedString, "CFStringAppend");
    // Appending a string to itself reads the units before they move.
    std::u16string copy(appended);
    mutableStringOf(theString, "CFStringAppend").units().append(copy);
}

void CFStringAppendCharacters(CFMutableStringRef theString, const UniChar* chars, CFIndex numChars)
{
    std::u16string& units = mutableStringOf(theString, "CFStringAppendCharacters").units();
    if (numChars <= 0) {
        return;
    }
    if (!chars) {
        CFPlatform::fatal("CFStringAppendCharacters", "NULL characters");
    }
    units.append(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(numChars));
}

void CFStringAppendCString(CFMutableStringRef theString, const char* cStr, CFStringEncoding encoding)
{
    std::u16string& units = mutableStringOf(theString, "CFStringAppendCString").units();
    if (!cStr) {
        CFPlatform::fatal("CFStringAppendCString", "NULL C string");
    }
    // Text that is ill-formed in the encoding appends nothing, as it would create no string.
    CFPlatform::ImmutableString* decoded =
        CFPlatform::decodeBytes(reinterpret_cast<const UInt8*>(cStr), std::strlen(cStr), encoding);
    if (decoded) {
        units.append(decoded->characters());
        CFPlatform::ImmutableString::destroy(decoded);
    }
}
