#include "String/UTF8Decoding.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

namespace CFPlatform {

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ULL;
constexpr uint64_t kLowBits = 0x0101010101010101ULL;

bool isASCII(const UInt8* bytes, size_t length)
{
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

// Chunks of a fixed size through local copies, which the compiler turns into vector moves.
void widenASCII(const UInt8* bytes, size_t length, char16_t* units)
{
    constexpr size_t kChunk = 16;
    size_t i = 0;
    for (; i + kChunk <= length; i += kChunk) {
        UInt8 narrow[kChunk];
        char16_t wide[kChunk];
        std::memcpy(narrow, bytes + i, kChunk);
        for (size_t k = 0; k < kChunk; ++k) {
            wide[k] = narrow[k];
        }
        std::memcpy(units + i, wide, sizeof wide);
    }
    for (; i < length; ++i) {
        units[i] = bytes[i];
    }
}

// Flags in bit 7 of each byte summed: the top byte of the product collects them.
size_t flagCount(uint64_t flags)
{
    return static_cast<size_t>(((flags >> 7) * kLowBits) >> 56);
}

// The units that the bytes give if they are well-formed: one for each byte that is not a
// continuation byte (10xxxxxx), and a second one for each lead of a four-byte sequence (11110xxx
// and above). Eight bytes at a time: shifting a word left by n moves each byte's bit 7-n to bit 7.
size_t unitsOfUTF8(const UInt8* bytes, size_t length)
{
    size_t units = length;
    auto count = [&units](uint64_t word) {
        units -= flagCount(word & ~(word << 1) & kHighBits);
        units += flagCount(word & (word << 1) & (word << 2) & (word << 3) & kHighBits);
    };
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, sizeof word);
        count(word);
    }
    // The last bytes padded with zero bytes, which count for nothing.
    uint64_t last = 0;
    std::memcpy(&last, bytes + i, length - i);
    count(last);
    return units;
}

// One unit of a two- or three-byte sequence at `at`, decoded inline when all its bytes are there
// (ICU's own tests of the lead and first trail byte); nullopt for anything else.
struct ShortSequence
{
    char16_t unit;
    size_t length;
};

std::optional<ShortSequence> shortSequence(const UInt8* bytes, size_t at, size_t length)
{
    if (at + 3 > length) {
        return std::nullopt;
    }
    UInt8 lead = bytes[at];
    UInt8 first = bytes[at + 1];
    if (lead >= 0xC2 && lead <= 0xDF && U8_IS_TRAIL(first)) {
        return ShortSequence{static_cast<char16_t>((lead & 0x1F) << 6 | (first & 0x3F)), 2};
    }
    UInt8 second = bytes[at + 2];
    if (lead >= 0xE0 && lead <= 0xEF && U8_IS_VALID_LEAD3_AND_T1(lead, first) && U8_IS_TRAIL(second)) {
        return ShortSequence{
            static_cast<char16_t>((lead & 0x0F) << 12 | (first & 0x3F) << 6 | (second & 0x3F)), 3};
    }
    return std::nullopt;
}

// Decodes into exactly `capacity` units; false when the bytes are ill-formed. ASCII and the
// common short sequences are decoded inline, the rest (four-byte sequences, sequences at the very
// end, ill-formed bytes) by ICU's U8_NEXT.
bool decodeWellFormed(const UInt8* bytes, size_t length, char16_t* units, size_t capacity)
{
    size_t i = 0;
    size_t written = 0;
    while (i < length) {
        if (written == capacity) {
            return false;
        }
        if (U8_IS_SINGLE(bytes[i])) {
            units[written++] = bytes[i++];
            continue;
        }
        if (std::optional<ShortSequence> sequence = shortSequence(bytes, i, length)) {
            units[written++] = sequence->unit;
            i += sequence->length;
            continue;
        }
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0 || written + U16_LENGTH(c) > capacity) {
            return false;
        }
        U16_APPEND_UNSAFE(units, written, c);
    }
    return written == capacity;
}

} // namespace

ImmutableString* decodeUTF8(const UInt8* bytes, size_t length)
{
    if (length > INT32_MAX) {
        return nullptr;
    }
    // ASCII is the one text whose units are its bytes.
    if (isASCII(bytes, length)) {
        ImmutableString* string = ImmutableString::create(length);
        widenASCII(bytes, length, string->units());
        return string;
    }
    // Counted first, so the string is allocated once at its exact length and decoded into.
    size_t capacity = unitsOfUTF8(bytes, length);
    ImmutableString* string = ImmutableString::create(capacity);
    if (!decodeWellFormed(bytes, length, string->units(), capacity)) {
        ImmutableString::destroy(string);
        return nullptr;
    }
    return string;
}

} // namespace CFPlatform
