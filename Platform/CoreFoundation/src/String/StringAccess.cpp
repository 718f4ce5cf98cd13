#include "String/Encoding.h"
#include "String/StringObject.h"

#include <cstring>
#include <limits>

using CFPlatform::viewOf;

namespace {

std::u16string_view rangeOf(CFStringRef theString, CFRange range, const char* call)
{
    std::u16string_view characters = viewOf(theString, call);
    if (range.location < 0 || range.length < 0 ||
        range.location > static_cast<CFIndex>(characters.size()) - range.length) {
        CFPlatform::fatal(call, "range outside the string");
    }
    return characters.substr(static_cast<size_t>(range.location), static_cast<size_t>(range.length));
}

bool isASCII(const char* text)
{
    for (; *text; ++text) {
        if (static_cast<unsigned char>(*text) >= 0x80) {
            return false;
        }
    }
    return true;
}

} // namespace

CFIndex CFStringGetLength(CFStringRef theString)
{
    return static_cast<CFIndex>(viewOf(theString, "CFStringGetLength").size());
}

UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx)
{
    return rangeOf(theString, CFRangeMake(idx, 1), "CFStringGetCharacterAtIndex")[0];
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer)
{
    std::u16string_view characters = rangeOf(theString, range, "CFStringGetCharacters");
    if (!characters.empty()) {
        std::memcpy(buffer, characters.data(), characters.size() * sizeof(UniChar));
    }
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding)
{
    std::u16string_view characters = viewOf(theString, "CFStringGetCString");
    if (!buffer || bufferSize <= 0) {
        return false;
    }
    auto* bytes = reinterpret_cast<UInt8*>(buffer);
    CFPlatform::EncodeResult result =
        CFPlatform::encodeCharacters(characters, encoding, 0, false, bytes, bufferSize - 1);
    if (result.converted != static_cast<CFIndex>(characters.size()) ||
        !CFPlatform::isKnownEncoding(encoding)) {
        return false;
    }
    buffer[result.used] = '\0';
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding)
{
    const char* literal = CFPlatform::stringOf(theString, "CFStringGetCStringPtr").literal();
    if (!literal || encoding == kCFStringEncodingUTF8) {
        return literal;
    }
    bool asciiCompatible = encoding == kCFStringEncodingASCII || encoding == kCFStringEncodingMacRoman ||
                           encoding == kCFStringEncodingISOLatin1;
    return asciiCompatible && isASCII(literal) ? literal : nullptr;
}

CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding, UInt8 lossByte,
                         Boolean isExternalRepresentation, UInt8* buffer, CFIndex maxBufLen,
                         CFIndex* usedBufLen)
{
    std::u16string_view characters = rangeOf(theString, range, "CFStringGetBytes");
    CFPlatform::EncodeResult result = CFPlatform::encodeCharacters(
        characters, encoding, lossByte, isExternalRepresentation, buffer, maxBufLen);
    if (usedBufLen) {
        *usedBufLen = result.used;
    }
    return result.converted;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding)
{
    CFIndex perUnit = static_cast<CFIndex>(CFPlatform::maximumBytesPerUnit(encoding));
    if (length < 0 || perUnit == 0 || length > std::numeric_limits<CFIndex>::max() / perUnit) {
        return kCFNotFound;
    }
    return length * perUnit;
}
