#include "UtfConvert.h"

#include <cstdint>
#include <cstring>

namespace {

// Indexed by the lead byte: how many bytes follow it.
constexpr signed char kTrailingBytesForUTF8[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};

// What the byte-by-byte accumulation of a sequence adds through its lead and trailing marker bits,
// indexed by the number of trailing bytes.
constexpr uint32_t kOffsetsFromUTF8[6] = {0x00000000, 0x00003080, 0x000E2080,
                                          0x03C82080, 0xFA082080, 0x82082080};

// Marker bits of the lead byte, indexed by the sequence length.
constexpr unsigned char kFirstByteMarks[7] = {0x00, 0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};

constexpr uint32_t kHighSurrogateFirst = 0xD800;
constexpr uint32_t kLowSurrogateFirst = 0xDC00;
constexpr uint32_t kLowSurrogateLast = 0xDFFF;
constexpr uint32_t kLastCodePoint = 0x10FFFF;
constexpr uint32_t kOutOfRangeReplacement = 0xFEFF;

bool isTrailingByte(unsigned char b)
{
    return b >= 0x80 && b <= 0xBF;
}

bool isHighSurrogate(uint32_t u)
{
    return u >= kHighSurrogateFirst && u < kLowSurrogateFirst;
}

bool isLowSurrogate(uint32_t u)
{
    return u >= kLowSurrogateFirst && u <= kLowSurrogateLast;
}

// The well-formedness rule of the reference conversion code; the lead 0xED takes the general rule,
// so encoded surrogates pass.
bool isLegalSequence(const unsigned char* p, int trailing)
{
    switch (trailing) {
    case 3:
        if (!isTrailingByte(p[3])) {
            return false;
        }
        [[fallthrough]];
    case 2:
        if (!isTrailingByte(p[2])) {
            return false;
        }
        [[fallthrough]];
    case 1:
        switch (p[0]) {
        case 0xE0:
            if (p[1] < 0xA0 || p[1] > 0xBF) {
                return false;
            }
            break;
        case 0xF0:
            if (p[1] < 0x90 || p[1] > 0xBF) {
                return false;
            }
            break;
        case 0xF4:
            if (p[1] < 0x80 || p[1] > 0x8F) {
                return false;
            }
            break;
        default:
            if (!isTrailingByte(p[1])) {
                return false;
            }
        }
        [[fallthrough]];
    case 0:
        return p[0] < 0x80 || (p[0] >= 0xC2 && p[0] <= 0xF4);
    default:
        return false;
    }
}

// Writes one code point as UTF-16 and answers the position after it.
unsigned short* putUtf16(unsigned short* dst, uint32_t c)
{
    if (c < 0x10000) {
        *dst++ = static_cast<unsigned short>(c);
        return dst;
    }
    c -= 0x10000;
    *dst++ = static_cast<unsigned short>(kHighSurrogateFirst + (c >> 10));
    *dst++ = static_cast<unsigned short>(kLowSurrogateFirst + (c & 0x3FF));
    return dst;
}

// Writes one code point as UTF-8 and answers the position after it.
char* putUtf8(char* dst, uint32_t c)
{
    const int length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    for (int i = length - 1; i > 0; --i) {
        dst[i] = static_cast<char>(0x80 | (c & 0x3F));
        c >>= 6;
    }
    dst[0] = static_cast<char>(c | kFirstByteMarks[length]);
    return dst + length;
}

constexpr uint64_t kHighBitOfEachByte = 0x8080808080808080ULL;
constexpr uint64_t kNonASCIIBitsOfEachUnit = 0xFF80FF80FF80FF80ULL;

// Copies the ASCII run at the start of [p, end) a word at a time, as far as whole words reach.
void copyASCIIWords(const unsigned char*& p, const unsigned char* end, unsigned short*& dst)
{
    while (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (word & kHighBitOfEachByte) {
            return;
        }
        for (int i = 0; i < 8; ++i) {
            dst[i] = p[i];
        }
        p += 8;
        dst += 8;
    }
}

void copyASCIIWords(const unsigned short*& p, const unsigned short* end, char*& dst)
{
    while (end - p >= 4) {
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (word & kNonASCIIBitsOfEachUnit) {
            return;
        }
        for (int i = 0; i < 4; ++i) {
            dst[i] = static_cast<char>(p[i]);
        }
        p += 4;
        dst += 4;
    }
}

// Decodes one code point of UTF-16 at p, which lies before end. Answers the number of units it
// takes, 0 at an unpaired surrogate.
int nextUtf16(const unsigned short* p, const unsigned short* end, uint32_t& c)
{
    c = *p;
    if (!isHighSurrogate(c)) {
        return isLowSurrogate(c) ? 0 : 1;
    }
    if (end - p < 2 || !isLowSurrogate(p[1])) {
        return 0;
    }
    c = 0x10000 + ((c - kHighSurrogateFirst) << 10) + (p[1] - kLowSurrogateFirst);
    return 2;
}

} // namespace

unsigned long utf8_to_utf16(const unsigned char* in, unsigned long n, UTF16String& out)
{
    out.clear();
    if (n == 0) {
        return 0;
    }
    // No sequence gives more units than it has bytes, so n units always suffice.
    out.resize(n);
    unsigned short* const start = out.data();
    unsigned short* dst = start;
    const unsigned char* p = in;
    const unsigned char* const end = in + n;
    while (p < end) {
        copyASCIIWords(p, end, dst);
        if (p == end) {
            break;
        }
        const unsigned char lead = *p;
        if (lead < 0x80) {
            *dst++ = lead;
            ++p;
            continue;
        }
        const int trailing = kTrailingBytesForUTF8[lead];
        if (trailing > 3 || trailing >= end - p || !isLegalSequence(p, trailing)) {
            break;
        }
        uint32_t c = 0;
        for (int i = 0; i <= trailing; ++i) {
            c = (c << 6) + p[i];
        }
        dst = putUtf16(dst, c - kOffsetsFromUTF8[trailing]);
        p += trailing + 1;
    }
    out.resize(static_cast<std::size_t>(dst - start));
    return static_cast<unsigned long>(p - in);
}

unsigned long utf16_to_utf8(const unsigned short* in, unsigned long n, std::string& out)
{
    out.clear();
    if (n == 0) {
        return 0;
    }
    // Three bytes a unit at most: a pair of units gives four.
    out.resize(3 * n);
    char* const start = out.data();
    char* dst = start;
    const unsigned short* p = in;
    const unsigned short* const end = in + n;
    while (p < end) {
        copyASCIIWords(p, end, dst);
        if (p == end) {
            break;
        }
        if (*p < 0x80) {
            *dst++ = static_cast<char>(*p++);
            continue;
        }
        uint32_t c;
        const int units = nextUtf16(p, end, c);
        if (units == 0) {
            break;
        }
        dst = putUtf8(dst, c);
        p += units;
    }
    out.resize(static_cast<std::size_t>(dst - start));
    return static_cast<unsigned long>(p - in);
}

unsigned long utf16_to_utf32(const unsigned short* in, unsigned long n, UTF32String& out)
{
    out.clear();
    if (n == 0) {
        return 0;
    }
    out.reserve(n);
    const unsigned short* p = in;
    const unsigned short* const end = in + n;
    while (p < end) {
        uint32_t c;
        const int units = nextUtf16(p, end, c);
        if (units == 0) {
            break;
        }
        out.push_back(c);
        p += units;
    }
    return static_cast<unsigned long>(p - in);
}

unsigned long utf32_to_utf16(const unsigned int* in, unsigned long n, UTF16String& out)
{
    out.clear();
    out.reserve(n);
    for (unsigned long i = 0; i < n; ++i) {
        AppendUtf32CharToUtf16(out, in[i]);
    }
    return n;
}

void AppendUtf32CharToUtf16(UTF16String& out, unsigned int c)
{
    unsigned short units[2];
    const unsigned short* const end = putUtf16(units, c > kLastCodePoint ? kOutOfRangeReplacement : c);
    out.append(units, static_cast<std::size_t>(end - units));
}
