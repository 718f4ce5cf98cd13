#pragma once

// Mac OS Roman text, through the platform's converter for that code page.

#include "UTraits.h"

#include <string>

// Replaces `out` by one unit per byte, up to the first 0 byte; returns twice the units written.
unsigned long MacRoman_to_utf16(const unsigned char* in, unsigned long n, UTF16String& out);
// Replaces `out` by the Mac OS Roman bytes of the units, up to the first 0 byte, and returns their
// number. When any character has no Mac OS Roman byte, `out` is left as it was and the result is 0.
unsigned long utf16_to_MacRoman(const unsigned short* in, unsigned long n, std::string& out);
