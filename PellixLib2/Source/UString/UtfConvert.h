#pragma once

// Conversions between UTF-8, UTF-16 and UTF-32. They convert from the start, stop at the first
// ill-formed input keeping what they produced, and never throw for bad input.

#include "UTraits.h"

#include <string>

// Replaces `out` by the UTF-16 text of the n bytes; returns the bytes consumed.
unsigned long utf8_to_utf16(const unsigned char* in, unsigned long n, UTF16String& out);
// Replaces `out` by the UTF-8 text of the n units; returns the units consumed.
unsigned long utf16_to_utf8(const unsigned short* in, unsigned long n, std::string& out);
// Replaces `out` by one element per code point; returns the units consumed.
unsigned long utf16_to_utf32(const unsigned short* in, unsigned long n, UTF32String& out);
// Replaces `out` by the UTF-16 text of the n code points; returns n. Values above 0x10FFFF become
// U+FEFF.
unsigned long utf32_to_utf16(const unsigned int* in, unsigned long n, UTF16String& out);
void AppendUtf32CharToUtf16(UTF16String& out, unsigned int c);
