#pragma once

// UTF-8 bytes into a new string.

#include "String/StringObject.h"

namespace CFPlatform {

// A new string of the bytes, or nullptr when they are not well-formed UTF-8 (overlong forms,
// encoded surrogates, code points above U+10FFFF and cut-off sequences are refused, as ICU does).
ImmutableString* decodeUTF8(const UInt8* bytes, size_t length);

} // namespace CFPlatform
