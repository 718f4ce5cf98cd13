#pragma once

namespace CFPlatform {

// The value of an ASCII hexadecimal digit of either case; -1 for any other character.
constexpr int hexDigitValue(char32_t c)
{
    if (c >= U'0' && c <= U'9') {
        return int(c - U'0');
    }
    if (c >= U'a' && c <= U'f') {
        return int(c - U'a') + 10;
    }
    if (c >= U'A' && c <= U'F') {
        return int(c - U'A') + 10;
    }
    return -1;
}

} // namespace CFPlatform
