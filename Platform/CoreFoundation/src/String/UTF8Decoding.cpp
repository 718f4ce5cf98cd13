#include "String/UTF8Decoding.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

namespace CFPlatform {

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ULL;

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

// A trail byte (10xxxxxx) with its top bit flipped is below 0x40, and any other byte is not.
constexpr unsigned kFlippedTrailLimit = 0x40;

// Decodes into `units`, which has room for `length` units (every unit takes at least one byte);
// answers how many it wrote, or nullopt when the bytes are ill-formed. ASCII and sequences of two
// and three bytes with all their bytes there are decoded inline; the rest (four-byte sequences,
// the last bytes, anything ill-formed) is left to ICU's U8_NEXT.
std::optional<size_t> decodeWellFormed(const UInt8* bytes, size_t length, char16_t* units)
{
    size_t i = 0;
    size_t written = 0;
    while (i < length) {
        unsigned lead = bytes[i];
        if (lead < 0x80) {
            units[written++] = static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        if (i + 3 <= length && lead < 0xF0) {
            unsigned first = bytes[i + 1] ^ 0x80u;
            if (lead < 0xE0) {
                // Below C2 are continuation bytes and the overlong forms of ASCII.
                if (lead >= 0xC2 && first < kFlippedTrailLimit) {
                    units[written++] = static_cast<char16_t>((lead & 0x1F) << 6 | first);
                    i += 2;
                    continue;
                }
            } else {
                unsigned second = bytes[i + 2] ^ 0x80u;
                // Below U+0800 is an overlong form; surrogates are never encoded.
                unsigned c = (lead & 0x0F) << 12 | first << 6 | second;
                if ((first | second) < kFlippedTrailLimit && c >= 0x800 && !U_IS_SURROGATE(c)) {
                    units[written++] = static_cast<char16_t>(c);
                    i += 3;
                    continue;
                }
            }
        }
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            return std::nullopt;
        }
        U16_APPEND_UNSAFE(units, written, c);
    }
    return written;
}

} // namespace

ImmutableString* decodeUTF8(const UInt8* bytes, size_t length)
{
    // Strings stay within the 32-bit lengths that ICU's comparisons take.
    if (length > INT32_MAX) {
        return nullptr;
    }
    // ASCII is the one text whose units are its bytes.
    if (isASCII(bytes, length)) {
        ImmutableString* string = ImmutableString::create(length);
        widenASCII(bytes, length, string->units());
        return string;
    }
    // No text gives more units than bytes. Decoded into scratch room, on the stack for short
    // texts, then copied into a string of its exact length: one copy costs less than counting the
    // units first.
    constexpr size_t kOnStack = 256;
    char16_t onStack[kOnStack];
    std::unique_ptr<char16_t[]> onHeap;
    char16_t* scratch = onStack;
    if (length > kOnStack) {
        onHeap = std::make_unique_for_overwrite<char16_t[]>(length);
        scratch = onHeap.get();
    }
    std::optional<size_t> written = decodeWellFormed(bytes, length, scratch);
    if (!written) {
        return nullptr;
    }
    return ImmutableString::create(std::u16string_view(scratch, *written));
}

} // namespace CFPlatform
