#include "DeviceStrings.h"

#include <algorithm>

namespace DeviceStrings {

namespace {

// Bytes of the UTF-8 form of a code point.
size_t encode(uint32_t codePoint, char* out)
{
    if (codePoint < 0x80) {
        out[0] = char(codePoint);
        return 1;
    }
    if (codePoint < 0x800) {
        out[0] = char(0xC0 | codePoint >> 6);
        out[1] = char(0x80 | (codePoint & 0x3F));
        return 2;
    }
    if (codePoint < 0x10000) {
        out[0] = char(0xE0 | codePoint >> 12);
        out[1] = char(0x80 | (codePoint >> 6 & 0x3F));
        out[2] = char(0x80 | (codePoint & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | codePoint >> 18);
    out[1] = char(0x80 | (codePoint >> 12 & 0x3F));
    out[2] = char(0x80 | (codePoint >> 6 & 0x3F));
    out[3] = char(0x80 | (codePoint & 0x3F));
    return 4;
}

} // namespace

void Convert(const StandardUSB::StringDescriptor* descriptor, uint32_t bytesReturned, char* text,
             size_t capacity, size_t maxCharacters, bool lower)
{
    if (capacity == 0) {
        return;
    }
    text[0] = 0;
    if (!descriptor || bytesReturned <= 2 || descriptor->bLength <= 2) {
        return;
    }
    const size_t units = (std::min<uint32_t>(descriptor->bLength, bytesReturned) - 2) / 2;
    const uint8_t* bytes = descriptor->bString;
    size_t used = 0;
    size_t characters = 0;
    for (size_t unit = 0; unit < units && characters < maxCharacters; ++unit) {
        uint32_t codePoint = uint32_t(bytes[2 * unit]) | uint32_t(bytes[2 * unit + 1]) << 8;
        if (codePoint >= 0xD800 && codePoint < 0xDC00 && unit + 1 < units) {
            const uint32_t low = uint32_t(bytes[2 * unit + 2]) | uint32_t(bytes[2 * unit + 3]) << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
                ++unit;
            }
        }
        if (lower && codePoint >= 'A' && codePoint <= 'Z') {
            codePoint += 'a' - 'A';
        }
        char encoded[4];
        const size_t length = encode(codePoint, encoded);
        if (used + length + 1 > capacity) {
            break;
        }
        std::copy(encoded, encoded + length, text + used);
        used += length;
        ++characters;
    }
    text[used] = 0;
}

} // namespace DeviceStrings
