#pragma once

// Conversions between a string's UTF-16 units and bytes in a CFStringEncoding.

#include "String/StringObject.h"

namespace CFPlatform {

// A new string of the bytes, or nullptr when they are ill-formed in the encoding or the encoding
// is unknown. With kCFStringEncodingUTF16 a leading byte-order mark picks the order and is dropped.
ImmutableString* decodeBytes(const UInt8* bytes, size_t length, CFStringEncoding encoding);

struct EncodeResult
{
    // Units of the input converted, and bytes they gave.
    CFIndex converted;
    CFIndex used;
};

// Converts whole characters until the buffer is full or, with lossByte 0, until a character has no
// byte in the encoding (with a lossByte, the character becomes that byte). A null buffer only
// measures. `byteOrderMark` starts kCFStringEncodingUTF16 output with a mark in host order.
EncodeResult encodeCharacters(std::u16string_view characters, CFStringEncoding encoding, UInt8 lossByte,
                              bool byteOrderMark, UInt8* buffer, CFIndex capacity);

bool isKnownEncoding(CFStringEncoding encoding);

// The most bytes one UTF-16 unit gives in the encoding (a surrogate pair gives four UTF-8 bytes for
// two units), or 0 for an unknown encoding.
size_t maximumBytesPerUnit(CFStringEncoding encoding);

} // namespace CFPlatform
