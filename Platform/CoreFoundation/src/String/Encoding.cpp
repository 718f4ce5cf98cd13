#include "String/Encoding.h"

#include "String/SingleByteCodec.h"
#include "String/UTF8Decoding.h"

#include <cstring>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

namespace CFPlatform {

namespace {

constexpr char16_t kByteOrderMark = 0xFEFF;
constexpr char16_t kSwappedByteOrderMark = 0xFFFE;

enum class ByteOrder
{
    Big,
    Little
};

constexpr ByteOrder kHostOrder =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ByteOrder::Little : ByteOrder::Big;

char16_t readUnit(const UInt8* bytes, ByteOrder order)
{
    return order == ByteOrder::Big ? static_cast<char16_t>(bytes[0] << 8 | bytes[1])
                                   : static_cast<char16_t>(bytes[1] << 8 | bytes[0]);
}

void writeUnit(UInt8* bytes, char16_t unit, ByteOrder order)
{
    UInt8 high = static_cast<UInt8>(unit >> 8);
    UInt8 low = static_cast<UInt8>(unit);
    bytes[0] = order == ByteOrder::Big ? high : low;
    bytes[1] = order == ByteOrder::Big ? low : high;
}

bool isWellFormedUTF16(std::u16string_view units)
{
    size_t i = 0;
    while (i < units.size()) {
        UChar32 c;
        U16_NEXT(units.data(), i, units.size(), c);
        if (U_IS_SURROGATE(c)) {
            return false;
        }
    }
    return true;
}

ImmutableString* decodeUTF16(const UInt8* bytes, size_t length, CFStringEncoding encoding)
{
    if (length % 2 != 0) {
        return nullptr;
    }
    ByteOrder order = encoding == kCFStringEncodingUTF16BE   ? ByteOrder::Big
                      : encoding == kCFStringEncodingUTF16LE ? ByteOrder::Little
                                                             : kHostOrder;
    if (encoding == kCFStringEncodingUTF16 && length >= 2) {
        char16_t first = readUnit(bytes, kHostOrder);
        if (first == kByteOrderMark || first == kSwappedByteOrderMark) {
            order = first == kByteOrderMark        ? kHostOrder
                    : kHostOrder == ByteOrder::Big ? ByteOrder::Little
                                                   : ByteOrder::Big;
            bytes += 2;
            length -= 2;
        }
    }
    ImmutableString* string = ImmutableString::create(length / 2);
    char16_t* units = string->units();
    for (size_t i = 0; i < length / 2; ++i) {
        units[i] = readUnit(bytes + 2 * i, order);
    }
    if (!isWellFormedUTF16(string->characters())) {
        ImmutableString::destroy(string);
        return nullptr;
    }
    return string;
}

ImmutableString* decodeSingleBytes(const UInt8* bytes, size_t length, const SingleByteCodec& codec)
{
    ImmutableString* string = ImmutableString::create(length);
    char16_t* units = string->units();
    for (size_t i = 0; i < length; ++i) {
        std::optional<char16_t> unit = codec.decode(bytes[i]);
        if (!unit) {
            ImmutableString::destroy(string);
            return nullptr;
        }
        units[i] = *unit;
    }
    return string;
}

bool isUTF16(CFStringEncoding encoding)
{
    return encoding == kCFStringEncodingUTF16 || encoding == kCFStringEncodingUTF16BE ||
           encoding == kCFStringEncodingUTF16LE;
}

// The bytes of one character, from `units` (one unit, or a surrogate pair). Answers the byte
// count, or 0 when the encoding has no bytes for it.
size_t encodeCharacter(std::u16string_view units, UChar32 codePoint, CFStringEncoding encoding, UInt8* out)
{
    if (encoding == kCFStringEncodingUTF8) {
        if (U_IS_SURROGATE(codePoint)) {
            return 0;
        }
        size_t length = 0;
        U8_APPEND_UNSAFE(out, length, codePoint);
        return length;
    }
    if (isUTF16(encoding)) {
        ByteOrder order = encoding == kCFStringEncodingUTF16BE   ? ByteOrder::Big
                          : encoding == kCFStringEncodingUTF16LE ? ByteOrder::Little
                                                                 : kHostOrder;
        for (size_t i = 0; i < units.size(); ++i) {
            writeUnit(out + 2 * i, units[i], order);
        }
        return 2 * units.size();
    }
    std::optional<uint8_t> byte = SingleByteCodec::forEncoding(encoding)->encode(codePoint);
    if (!byte) {
        return 0;
    }
    out[0] = *byte;
    return 1;
}

} // namespace

size_t maximumBytesPerUnit(CFStringEncoding encoding)
{
    if (encoding == kCFStringEncodingUTF8) {
        return 3;
    }
    if (isUTF16(encoding)) {
        return 2;
    }
    return SingleByteCodec::forEncoding(encoding) ? 1 : 0;
}

bool isKnownEncoding(CFStringEncoding encoding)
{
    return maximumBytesPerUnit(encoding) != 0;
}

ImmutableString* decodeBytes(const UInt8* bytes, size_t length, CFStringEncoding encoding)
{
    if (encoding == kCFStringEncodingUTF8) {
        return decodeUTF8(bytes, length);
    }
    if (isUTF16(encoding)) {
        return decodeUTF16(bytes, length, encoding);
    }
    const SingleByteCodec* codec = SingleByteCodec::forEncoding(encoding);
    return codec ? decodeSingleBytes(bytes, length, *codec) : nullptr;
}

EncodeResult encodeCharacters(std::u16string_view characters, CFStringEncoding encoding, UInt8 lossByte,
                              bool byteOrderMark, UInt8* buffer, CFIndex capacity)
{
    EncodeResult result{0, 0};
    if (!isKnownEncoding(encoding)) {
        return result;
    }
    if (byteOrderMark && encoding == kCFStringEncodingUTF16) {
        if (buffer && capacity < 2) {
            return result;
        }
        if (buffer) {
            writeUnit(buffer, kByteOrderMark, kHostOrder);
        }
        result.used = 2;
    }
    size_t next = 0;
    while (next < characters.size()) {
        size_t start = next;
        UChar32 codePoint;
        U16_NEXT(characters.data(), next, characters.size(), codePoint);
        UInt8 bytes[4];
        size_t length = encodeCharacter(characters.substr(start, next - start), codePoint, encoding, bytes);
        if (length == 0) {
            if (lossByte == 0) {
                break;
            }
            bytes[0] = lossByte;
            length = 1;
        }
        if (buffer) {
            if (result.used + static_cast<CFIndex>(length) > capacity) {
                break;
            }
            std::memcpy(buffer + result.used, bytes, length);
        }
        result.used += static_cast<CFIndex>(length);
        result.converted = static_cast<CFIndex>(next);
    }
    return result;
}

} // namespace CFPlatform
