#include <Foundation/NSException.h>
#include <Foundation/NSString.h>

#include <CFPlatform/String.h>

#include <cstdarg>

namespace NS {

String createStringWithUTF8(std::string_view utf8)
{
    return CFPlatform::createStringFromUTF8(utf8);
}

String stringWithCString(const char* text, StringEncoding encoding)
{
    if (!text || encoding != UTF8StringEncoding) {
        return nullptr;
    }
    return createStringWithUTF8(text);
}

std::string UTF8String(String string)
{
    return string ? CFPlatform::utf8Of(string).value_or("") : std::string();
}

CFIndex length(String string)
{
    return string ? CFStringGetLength(string) : 0;
}

bool isEqualToString(String string, String other)
{
    return string && other &&
           CFPlatform::charactersOf(string, "isEqualToString") ==
               CFPlatform::charactersOf(other, "isEqualToString");
}

bool hasPrefix(String string, String prefix)
{
    return string && prefix &&
           CFPlatform::charactersOf(string, "hasPrefix")
               .starts_with(CFPlatform::charactersOf(prefix, "hasPrefix"));
}

bool containsString(String string, String other)
{
    return string && other &&
           CFPlatform::charactersOf(string, "containsString")
                   .find(CFPlatform::charactersOf(other, "containsString")) != std::u16string_view::npos;
}

String substringFromIndex(String string, CFIndex index)
{
    std::u16string_view characters = CFPlatform::charactersOf(string, "substringFromIndex");
    if (index < 0 || static_cast<size_t>(index) > characters.size()) {
        throw Exception("NSRangeException", "substringFromIndex: index beyond the end");
    }
    return CFPlatform::createString(characters.substr(static_cast<size_t>(index)));
}

String stringByAppendingString(String string, String other)
{
    std::u16string joined(CFPlatform::charactersOf(string, "stringByAppendingString"));
    joined += CFPlatform::charactersOf(other, "stringByAppendingString");
    return CFPlatform::createString(joined);
}

String stringWithFormat(const char* format, ...)
{
    std::u16string text;
    va_list arguments;
    va_start(arguments, format);
    for (const char* at = format; *at != '\0'; ++at) {
        if (at[0] == '%' && (at[1] == 's' || at[1] == '@' || at[1] == '%')) {
            ++at;
            if (*at == '%') {
                text += u'%';
            } else if (*at == '@') {
                text += CFPlatform::charactersOf(va_arg(arguments, String), "stringWithFormat");
            } else {
                String piece = createStringWithUTF8(va_arg(arguments, const char*));
                text += CFPlatform::charactersOf(piece, "stringWithFormat");
                CFRelease(piece);
            }
            continue;
        }
        text += static_cast<char16_t>(static_cast<unsigned char>(*at));
    }
    va_end(arguments);
    return CFPlatform::createString(text);
}

Data* dataUsingEncoding(String string, StringEncoding encoding)
{
    std::optional<std::string> utf8 = string ? CFPlatform::utf8Of(string) : std::nullopt;
    if (encoding != UTF8StringEncoding || !utf8) {
        return nullptr;
    }
    return Data::dataWithBytes(utf8->data(), utf8->size());
}

const CharacterSet& CharacterSet::URLQueryAllowedCharacterSet()
{
    static const CharacterSet set;
    return set;
}

bool CharacterSet::contains(unsigned char byte) const
{
    constexpr std::string_view kMarks = "-._~!$&'()*+,;=:@/?";
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
           (byte != 0 && kMarks.find(static_cast<char>(byte)) != std::string_view::npos);
}

std::string percentEncoded(std::string_view utf8, const CharacterSet& allowed)
{
    constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(utf8.size() * 3);
    for (char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (allowed.contains(byte)) {
            encoded += c;
        } else {
            const char escape[3] = {'%', kHex[byte >> 4], kHex[byte & 0xF]};
            encoded.append(escape, 3);
        }
    }
    return encoded;
}

String stringByAddingPercentEncodingWithAllowedCharacters(String string, const CharacterSet& allowed)
{
    std::optional<std::string> utf8 = string ? CFPlatform::utf8Of(string) : std::nullopt;
    return utf8 ? createStringWithUTF8(percentEncoded(*utf8, allowed)) : nullptr;
}

} // namespace NS
