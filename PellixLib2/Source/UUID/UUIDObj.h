#pragma once

// A 16-byte universally unique identifier as a plain value. Its text form is the bytes in order as
// upper-case hexadecimal pairs joined by hyphens (47 units).

#include "UString/UString.h"

#include <array>

namespace Pellix {

class UUIDObj
{
public:
    // All bytes 0x00: the empty identifier.
    static const UUIDObj kClear;
    // All bytes 0xFF.
    static const UUIDObj kOutOfBounds;

    constexpr UUIDObj() = default;
    constexpr UUIDObj(unsigned char b0, unsigned char b1, unsigned char b2, unsigned char b3,
                      unsigned char b4, unsigned char b5, unsigned char b6, unsigned char b7,
                      unsigned char b8, unsigned char b9, unsigned char b10, unsigned char b11,
                      unsigned char b12, unsigned char b13, unsigned char b14, unsigned char b15)
        : fBytes{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15}
    {}
    // The value of the text; kClear when it does not parse.
    explicit UUIDObj(const UString& text);

    // Reads 16 hexadecimal pairs; separators may stand between pairs, never inside one. Outside 32
    // to 64 units: false, value unchanged. A text without 16 whole pairs: false, value cleared.
    bool SetFromUString(const UString& text);
    UString GetUString() const;

    bool operator==(const UUIDObj& other) const { return fBytes == other.fBytes; }
    // Lexicographic on the unsigned bytes, byte 0 first.
    bool operator<(const UUIDObj& other) const { return fBytes < other.fBytes; }

    bool IsClear() const { return *this == kClear; }
    // kOutOfBounds counts as valid.
    bool IsValid() const { return !IsClear(); }

    // A new identifier from the platform, bytes in the order the platform gives them.
    static UUIDObj GetNewUUID();

private:
    std::array<unsigned char, 16> fBytes{};
};

} // namespace Pellix
