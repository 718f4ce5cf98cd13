#pragma once

// UString from UTF-8 text.

#include "UString/UString.h"

#include <string>

inline UString U(const std::string& text)
{
    return UString(text, UString::kUTF8);
}
