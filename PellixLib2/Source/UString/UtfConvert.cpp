#include "UtfConvert.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace {

constexpr uint32_t kHighSurrogateFirst = 0xD800;
constexpr uint32_t kLowSurrogateFirst = 0xDC00;
constexpr uint32_t kLowSurrogateLast = 0xDFFF;
constexpr uint32_t kLastCodePoint = 0x10FFFF;
constexpr uint32_t kOutOfRangeReplacement = 0xFEFF;

bool isTrailingByte(unsigned char b)
{
    return (b & 0xC0) == 0x80;
}

bool isHighSurrogate(uint32_t u)
{
    return u >= kHighSurrogateFirst && u < kLowSurrogateFirst;
}

bool isLowSurrogate(uint32_t u)
{
    return u >= kLowSurrogateFirst && u <= kLowSurrogateLast;
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

constexpr uint64_t kHighBitOfEachByte = 0x8080808080808080ULL;

// After this many ASCII bytes in a row the run goes on a word at a time. Mixed text has short runs,
// which a plain loop serves best.
constexpr int kShortRun = 16;

// The first byte of a word read from memory is its lowest here.
static_assert(std::endian::native == std::endian::little);

// Copies the rest of an ASCII run, a word at a time as far as whole words reach.
void copyASCIIWords(const unsigned char*& p, const unsigned char* end, unsigned short*& dst)
{
    while (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (word & kHighBitOfEachByte) {
            return;
        }
        for (int i = 0; i < 8; ++i) {
            dst[i] = static_cast<unsigned short>((word >> (8 * i)) & 0xFF);
        }
        p += 8;
        dst += 8;
    }
}

// Decodes the well-formed sequence at p, which starts with a byte from 0x80 up, into dst. Answers
// its length, or 0 when it is ill-formed or cut off by the end. The rule is the reference
// conversion code's: leads 0xC2 to 0xF4, trailing bytes 0x80 to 0xBF, the second byte narrowed
// after 0xE0, 0xF0 and 0xF4; the lead 0xED takes the general rule, so encoded surrogates pass.
int decodeSequence(const unsigned char* p, std::ptrdiff_t left, unsigned short*& dst)
{
    const unsigned char lead = p[0];
    if (lead >= 0xE0) {
        if (lead < 0xF0) {
            if (left < 3) {
                return 0;
            }
            const unsigned char t1 = p[1] ^ 0x80;
            const unsigned char t2 = p[2] ^ 0x80;
            if ((t1 | t2) > 0x3F || (lead == 0xE0 && t1 < 0x20)) {
                return 0;
            }
            *dst++ = static_cast<unsigned short>(((lead & 0x0F) << 12) | (t1 << 6) | t2);
            return 3;
        }
        if (lead > 0xF4 || left < 4 || !isTrailingByte(p[1]) || !isTrailingByte(p[2]) ||
            !isTrailingByte(p[3]) || (lead == 0xF0 && p[1] < 0x90) || (lead == 0xF4 && p[1] > 0x8F)) {
            return 0;
        }
        dst = putUtf16(dst, (uint32_t(lead & 0x07) << 18) | (uint32_t(p[1] & 0x3F) << 12) |
                                (uint32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F));
        return 4;
    }
    if (lead < 0xC2 || left < 2) {
        return 0;
    }
    const unsigned char t1 = p[1] ^ 0x80;
    if (t1 > 0x3F) {
        return 0;
    }
    *dst++ = static_cast<unsigned short>(((lead & 0x1F) << 6) | t1);
    return 2;
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

// Writes a supplementary code point as its four UTF-8 bytes.
char* putSupplementaryUtf8(char* dst, uint32_t c)
{
    dst[0] = static_cast<char>(0xF0 | (c >> 18));
    dst[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    dst[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    dst[3] = static_cast<char>(0x80 | (c & 0x3F));
    return dst + 4;
}

// Makes `out` at least n long for writing through its data. Only elements beyond its current size
// are initialised, so a string that is converted into again and again costs nothing here.
template <typename String>
void makeRoom(String& out, std::size_t n)
{
    if (out.size() < n) {
        out.resize(n);
    }
}

} // namespace

unsigned long utf8_to_utf16(const unsigned char* in, unsigned long n, UTF16String& out)
{
    if (n == 0) {
        out.clear();
        return 0;
    }
    // No sequence gives more units than it has bytes.
    makeRoom(out, n);
    unsigned short* const start = out.data();
    unsigned short* dst = start;
    const unsigned char* p = in;
    const unsigned char* const end = in + n;
    int asciiRun = 0;
    while (p < end) {
        if (*p < 0x80) {
            *dst++ = *p++;
            if (++asciiRun == kShortRun) {
                copyASCIIWords(p, end, dst);
                asciiRun = 0;
            }
            continue;
        }
        asciiRun = 0;
        const int length = decodeSequence(p, end - p, dst);
        if (length == 0) {
            break;
        }
        p += length;
    }
    out.resize(static_cast<std::size_t>(dst - start));
    return static_cast<unsigned long>(p - in);
}

unsigned long utf16_to_utf8(const unsigned short* in, unsigned long n, std::string& out)
{
    if (n == 0) {
        out.clear();
        return 0;
    }
    // Three bytes a unit at most: a pair of units gives four.
    makeRoom(out, 3 * n);
    char* const start = out.data();
    char* dst = start;
    const unsigned short* p = in;
    const unsigned short* const end = in + n;
    while (p < end) {
        const uint32_t u = *p;
        if (u < 0x80) {
            *dst++ = static_cast<char>(u);
            ++p;
            continue;
        }
        if (u < 0x800) {
            dst[0] = static_cast<char>(0xC0 | (u >> 6));
            dst[1] = static_cast<char>(0x80 | (u & 0x3F));
            dst += 2;
            ++p;
            continue;
        }
        if ((u & 0xF800) != kHighSurrogateFirst) {
            // Not a surrogate.
            dst[0] = static_cast<char>(0xE0 | (u >> 12));
            dst[1] = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            dst[2] = static_cast<char>(0x80 | (u & 0x3F));
            dst += 3;
            ++p;
            continue;
        }
        if (u >= kLowSurrogateFirst || end - p < 2 || !isLowSurrogate(p[1])) {
            // An unpaired surrogate.
            break;
        }
        dst = putSupplementaryUtf8(dst,
                                   0x10000 + ((u - kHighSurrogateFirst) << 10) + (p[1] - kLowSurrogateFirst));
        p += 2;
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
