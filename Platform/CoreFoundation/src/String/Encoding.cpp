#include "String/Encoding.h"

#include "String/SingleByteCodec.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <unicode/ustring.h>
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

bool isASCII(const UInt8* bytes, size_t length)
{
    constexpr uint64_t kHighBits = 0x8080808080808080ULL;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, sizeof word);
        if (word & kHighBits) {
            return false;
        }
    }
    for (; i < length; ++i) {
        if (bytes[i] & 0x80) {
            return false;
        }
    }
    return true;
}

ImmutableString* decodeUTF8(const UInt8* bytes, size_t length)
{
    if (length > INT32_MAX) {
        return nullptr;
    }
    // ASCII is the one text whose units are its bytes; it is widened here without a call into ICU,
    // which keeps short keys and names cheap.
    if (isASCII(bytes, length)) {
        ImmutableString* string = ImmutableString::create(length);
        std::copy(bytes, bytes + length, string->units());
        return string;
    }
    // ICU converts fastest into room for one unit per byte, the most a text can need; the units
    // are then copied into a string of their exact length.
    constexpr size_t kOnStack = 256;
    char16_t onStack[kOnStack];
    std::unique_ptr<char16_t[]> onHeap;
    char16_t* scratch = onStack;
    if (length > kOnStack) {
        onHeap = std::make_unique_for_overwrite<char16_t[]>(length);
        scratch = onHeap.get();
    }
    UErrorCode status = U_ZERO_ERROR;
    int32_t written = 0;
    u_strFromUTF8(reinterpret_cast<UChar*>(scratch), static_cast<int32_t>(length), &written,
                  reinterpret_cast<const char*>(bytes), static_cast<int32_t>(length), &status);
    if (U_FAILURE(status)) {
        return nullptr;
    }
    return ImmutableString::create(std::u16string_view(scratch, static_cast<size_t>(written)));
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
