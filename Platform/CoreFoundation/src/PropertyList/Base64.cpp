#include <CFPlatform/Base64.h>

namespace CFPlatform {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextetOf(char c)
{
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

bool isSkipped(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

std::string encodeBase64(const unsigned char* bytes, size_t size)
{
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        unsigned group = bytes[i] << 16;
        if (i + 1 < size) {
            group |= bytes[i + 1] << 8;
        }
        if (i + 2 < size) {
            group |= bytes[i + 2];
        }
        text += kAlphabet[(group >> 18) & 63];
        text += kAlphabet[(group >> 12) & 63];
        text += i + 1 < size ? kAlphabet[(group >> 6) & 63] : '=';
        text += i + 2 < size ? kAlphabet[group & 63] : '=';
    }
    return text;
}

std::optional<std::vector<unsigned char>> decodeBase64(std::string_view text)
{
    std::string symbols;
    symbols.reserve(text.size());
    for (char c : text) {
        if (!isSkipped(c)) {
            symbols += c;
        }
    }
    if (symbols.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes;
    bytes.reserve(symbols.size() / 4 * 3);
    for (size_t i = 0; i < symbols.size(); i += 4) {
        bool last = i + 4 == symbols.size();
        size_t padding = 0;
        if (last && symbols[i + 3] == '=') {
            padding = symbols[i + 2] == '=' ? 2 : 1;
        }
        unsigned group = 0;
        for (size_t j = 0; j < 4; ++j) {
            int sextet = j < 4 - padding ? sextetOf(symbols[i + j]) : 0;
            if (sextet < 0) {
                return std::nullopt;
            }
            group = group << 6 | static_cast<unsigned>(sextet);
        }
        bytes.push_back(static_cast<unsigned char>(group >> 16));
        if (padding < 2) {
            bytes.push_back(static_cast<unsigned char>(group >> 8));
        }
        if (padding < 1) {
            bytes.push_back(static_cast<unsigned char>(group));
        }
    }
    return bytes;
}

} // namespace CFPlatform
