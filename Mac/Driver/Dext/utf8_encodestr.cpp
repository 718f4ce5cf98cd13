#include "utf8_encodestr.h"

namespace {

constexpr int kNameTooLong = 63;

} // namespace

int utf8_encodestr(const uint16_t* units, size_t inputBytes, uint8_t* output, size_t* written,
                   size_t outputSize, uint16_t alternativeSlash, int flags)
{
    const bool terminate = (flags & UTF_NO_NULL_TERM) == 0;
    const size_t limit = terminate ? (outputSize > 0 ? outputSize - 1 : 0) : outputSize;
    size_t count = 0;
    int result = 0;
    for (size_t i = 0; i < inputBytes / 2; ++i) {
        uint16_t unit = units[i];
        if (flags & UTF_REVERSE_ENDIAN) {
            unit = static_cast<uint16_t>((unit << 8) | (unit >> 8));
        }
        if (alternativeSlash != 0 && unit == '/') {
            unit = alternativeSlash;
        }
        uint8_t bytes[3];
        size_t length;
        if (unit >= 1 && unit <= 127) {
            bytes[0] = static_cast<uint8_t>(unit);
            length = 1;
        } else if (unit < 2048) {
            bytes[0] = static_cast<uint8_t>(0xC0 | (unit >> 6));
            bytes[1] = static_cast<uint8_t>(0x80 | (unit & 63));
            length = 2;
        } else {
            bytes[0] = static_cast<uint8_t>(0xE0 | (unit >> 12));
            bytes[1] = static_cast<uint8_t>(0x80 | ((unit >> 6) & 63));
            bytes[2] = static_cast<uint8_t>(0x80 | (unit & 63));
            length = 3;
        }
        if (count + length > limit) {
            result = kNameTooLong;
            break;
        }
        for (size_t b = 0; b < length; ++b) {
            output[count++] = bytes[b];
        }
    }
    *written = count;
    if (terminate && outputSize > 0) {
        output[count] = 0;
    }
    return result;
}
