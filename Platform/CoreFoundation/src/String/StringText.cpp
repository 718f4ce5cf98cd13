#include "String/Encoding.h"
#include "String/StringObject.h"

#include <CFPlatform/String.h>

namespace CFPlatform {

std::optional<std::string> utf8Of(CFStringRef string)
{
    std::u16string_view characters = viewOf(string, "CFPlatform::utf8Of");
    std::string utf8(characters.size() * maximumBytesPerUnit(kCFStringEncodingUTF8), '\0');
    EncodeResult result =
        encodeCharacters(characters, kCFStringEncodingUTF8, 0, false, reinterpret_cast<UInt8*>(utf8.data()),
                         static_cast<CFIndex>(utf8.size()));
    if (result.converted != static_cast<CFIndex>(characters.size())) {
        return std::nullopt;
    }
    utf8.resize(static_cast<size_t>(result.used));
    return utf8;
}

CFStringRef createStringFromUTF8(std::string_view utf8)
{
    ImmutableString* string =
        decodeBytes(reinterpret_cast<const UInt8*>(utf8.data()), utf8.size(), kCFStringEncodingUTF8);
    return string ? string->ref() : nullptr;
}

} // namespace CFPlatform
