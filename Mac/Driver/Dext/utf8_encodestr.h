#pragma once

#include <cstddef>
#include <cstdint>

// Flags of utf8_encodestr.
enum : int
{
    UTF_REVERSE_ENDIAN = 0x01,
    UTF_NO_NULL_TERM = 0x02,
};

// Encodes UTF-16 units one by one (surrogates included, 0 as C0 80) into `output`. Stops before the
// first character that does not fit and returns 63 then, else 0; `written` excludes the terminator.
int utf8_encodestr(const uint16_t* units, size_t inputBytes, uint8_t* output, size_t* written,
                   size_t outputSize, uint16_t alternativeSlash, int flags);
