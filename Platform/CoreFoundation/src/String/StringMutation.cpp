#include "String/Encoding.h"
#include "String/StringObject.h"

#include <cstring>

using CFPlatform::mutableStringOf;

void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString)
{
    // Appending a string to itself reads the units before they move.
    std::u16string appended(CFPlatform::viewOf(appendedString, "CFStringAppend"));
    mutableStringOf(theString, "CFStringAppend").append(appended);
}

void CFStringAppendCharacters(CFMutableStringRef theString, const UniChar* chars, CFIndex numChars)
{
    CFPlatform::MutableString& string = mutableStringOf(theString, "CFStringAppendCharacters");
    if (numChars <= 0) {
        return;
    }
    if (!chars) {
        CFPlatform::fatal("CFStringAppendCharacters", "NULL characters");
    }
    string.append(
        std::u16string_view(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(numChars)));
}

void CFStringAppendCString(CFMutableStringRef theString, const char* cStr, CFStringEncoding encoding)
{
    CFPlatform::MutableString& string = mutableStringOf(theString, "CFStringAppendCString");
    if (!cStr) {
        CFPlatform::fatal("CFStringAppendCString", "NULL C string");
    }
    // Text that is ill-formed in the encoding appends nothing, as it would create no string.
    CFPlatform::ImmutableString* decoded =
        CFPlatform::decodeBytes(reinterpret_cast<const UInt8*>(cStr), std::strlen(cStr), encoding);
    if (decoded) {
        string.append(decoded->characters());
        CFPlatform::ImmutableString::destroy(decoded);
    }
}
