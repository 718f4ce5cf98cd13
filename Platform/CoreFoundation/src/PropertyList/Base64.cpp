#include <CFPlatform/Base64.h>

#include <cstring>

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

namespace {

// The two characters of every 12-bit half of a group, so a group takes two look-ups.
struct PairTable
{
    char fPairs[4096][2];

    PairTable()
    {
        for (unsigned i = 0; i < 4096; ++i) {
            fPairs[i][0] = kAlphabet[i >> 6];
            fPairs[i][1] = kAlphabet[i & 63];
        }
    }
};

const PairTable& pairTable()
{
    static const PairTable table;
    return table;
}

} // namespace

std::string encodeBase64(const unsigned char* bytes, size_t size)
{
    // Whole groups go straight into the sized text; only the last one may need padding.
    std::string text((size + 2) / 3 * 4, '=');
    char* out = text.data();
    const auto& pairs = pairTable().fPairs;
    const size_t whole = size / 3 * 3;
    for (size_t i = 0; i < whole; i += 3, out += 4) {
        const unsigned group = unsigned(bytes[i]) << 16 | unsigned(bytes[i + 1]) << 8 | bytes[i + 2];
        std::memcpy(out, pairs[group >> 12], 2);
        std::memcpy(out + 2, pairs[group & 0xFFF], 2);
    }
    if (whole < size) {
        const unsigned group =
            unsigned(bytes[whole]) << 16 | (whole + 1 < size ? unsigned(bytes[whole + 1]) << 8 : 0);
        out[0] = kAlphabet[group >> 18];
        out[1] = kAlphabet[(group >> 12) & 63];
        if (whole + 1 < size) {
            out[2] = kAlphabet[(group >> 6) & 63];
        }
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
