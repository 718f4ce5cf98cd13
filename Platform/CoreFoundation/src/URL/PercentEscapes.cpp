#include "URL/PercentEscapes.h"

#include "HexDigit.h"

#include <cstring>

namespace CFPlatform {

bool isPathChar(char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return c != '\0' && std::strchr("-._~!$&'()*+,;=:@/", c) != nullptr;
}

std::string escapePath(std::string_view bytes, bool escapeColons)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(bytes.size());
    for (char c : bytes) {
        if (isPathChar(c) && !(escapeColons && c == ':')) {
            result += c;
        } else {
            auto byte = static_cast<unsigned char>(c);
            result += '%';
            result += kHex[byte >> 4];
            result += kHex[byte & 0xF];
        }
    }
    return result;
}

std::optional<std::string> unescape(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            result += text[i];
            continue;
        }
        if (i + 2 >= text.size() || hexDigitValue(text[i + 1]) < 0 || hexDigitValue(text[i + 2]) < 0) {
            return std::nullopt;
        }
        result += static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
        i += 2;
    }
    return result;
}

} // namespace CFPlatform
