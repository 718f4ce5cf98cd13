#pragma once

// The 8-bit encodings (Mac OS Roman, ISO Latin 1, ASCII), each a table taken once from ICU's
// converter for it: every byte one BMP character or none.

#include <CoreFoundation/CFString.h>

#include <array>
#include <optional>
#include <utility>
#include <vector>

namespace CFPlatform {

class SingleByteCodec
{
public:
    // nullptr when `encoding` is not an 8-bit encoding.
    static const SingleByteCodec* forEncoding(CFStringEncoding encoding);

    explicit SingleByteCodec(const char* icuName);

    // The character of a byte, or nothing when the byte has none.
    std::optional<char16_t> decode(uint8_t byte) const;
    // The byte of a code point, or nothing when the encoding has none.
    std::optional<uint8_t> encode(char32_t codePoint) const;

private:
    static constexpr char16_t kUnmapped = 0xFFFF;

    std::array<char16_t, 256> fToUnicode;
    // Characters from U+0080 with their bytes, sorted by character.
    std::vector<std::pair<char16_t, uint8_t>> fFromUnicode;
};

} // namespace CFPlatform
