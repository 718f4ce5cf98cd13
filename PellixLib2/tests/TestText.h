#pragma once

// Test helpers: UString from UTF-16 literals and readable failure messages.

#include "UString/UString.h"

#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

inline UString U(std::u16string_view text)
{
    return UString(UTF16String(text.begin(), text.end()));
}

inline UTF16String Units(std::vector<unsigned short> units)
{
    return UTF16String(units.begin(), units.end());
}

inline std::string Bytes(std::vector<unsigned char> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

inline void PrintTo(const UString& s, std::ostream* os)
{
    *os << '"';
    for (unsigned short unit : s) {
        if (unit >= 0x20 && unit < 0x7F) {
            *os << static_cast<char>(unit);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", unit);
            *os << escaped;
        }
    }
    *os << '"';
}
