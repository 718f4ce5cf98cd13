#include "UtfConvert.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace {

constexpr uint32_t kHighSurrogateFirst = 0xD800;
constexpr uint32_t kLowSurrogateFirst = 0xDC00;
constexpr uint32_t kLowSurrogateLast = 0xDFFF;
constexpr uint32_t kLastCodePoint = 0x10FFFF;
constexpr uint32_t kOutOfRangeReplacement = 0xFEFF;

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

// After this many ASCII bytes in a row decoding goes on sixteen at a time. Mixed text has short runs,
// which a plain loop serves best.
constexpr int kShortRun = 16;

// Input converted between two checks of the room left in the output, so that the output grows by
// what the text needs rather than by its worst case, which would have to be initialised each time.
constexpr std::ptrdiff_t kBlockLength = 4096;

// The first byte of a word read from memory is its lowest here.
static_assert(std::endian::native == std::endian::little);

// Sixteen bytes, and the same widened to units, as the compiler's vector types.
using ByteVector = unsigned char __attribute__((vector_size(16)));
using UnitVector = unsigned short __attribute__((vector_size(32)));

constexpr uint64_t kHighBitsOfEachUnit = 0xFF80FF80FF80FF80ULL;

// Copies the rest of an ASCII run up to stop, sixteen bytes at a time as far as whole blocks of them
// reach.
void copyASCIIVectors(const unsigned char*& p, const unsigned char* stop, unsigned short*& dst)
{
    while (stop - p >= 16) {
        uint64_t words[2];
        std::memcpy(words, p, sizeof words);
        if ((words[0] | words[1]) & kHighBitOfEachByte) {
            return;
        }
        ByteVector bytes;
        std::memcpy(&bytes, p, sizeof bytes);
        const UnitVector units = __builtin_convertvector(bytes, UnitVector);
        std::memcpy(dst, &units, sizeof units);
        p += 16;
        dst += 16;
    }
}

// Answers whether the four units at p are ASCII, and if so their bytes.
bool narrowFourASCIIUnits(const unsigned short* p, uint32_t& bytes)
{
    uint64_t units;
    std::memcpy(&units, p, sizeof units);
    if (units & kHighBitsOfEachUnit) {
        return false;
    }
    units = (units | (units >> 8)) & 0x0000FFFF0000FFFFULL;
    bytes = static_cast<uint32_t>(units | (units >> 16));
    return true;
}

// Decodes the sequence that starts `bytes` (the next four bytes of input, the first from 0x80 up)
// into dst. Answers its length, or 0 when it is ill-formed. The rule is the reference conversion
// code's: leads 0xC2 to 0xF4, trailing bytes 0x80 to 0xBF, the second byte narrowed after 0xE0, 0xF0
// and 0xF4, which is the same as requiring the value to need its length and to lie in Unicode. The
// lead 0xED takes the general rule, so encoded surrogates pass.
int decodeSequence(uint32_t bytes, unsigned short*& dst)
{
    if ((bytes & 0xC0E0) == 0x80C0) {
        const uint32_t c = ((bytes & 0x1F) << 6) | ((bytes >> 8) & 0x3F);
        if (c < 0x80) {
            return 0;
        }
        *dst++ = static_cast<unsigned short>(c);
        return 2;
    }
    if ((bytes & 0xC0C0F0) == 0x8080E0) {
        const uint32_t c = ((bytes & 0x0F) << 12) | ((bytes & 0x3F00) >> 2) | ((bytes >> 16) & 0x3F);
        if (c < 0x800) {
            return 0;
        }
        *dst++ = static_cast<unsigned short>(c);
        return 3;
    }
    if ((bytes & 0xC0C0C0F8) == 0x808080F0) {
        const uint32_t c = ((bytes & 0x07) << 18) | ((bytes & 0x3F00) << 4) | ((bytes >> 10) & 0xFC0) |
                           ((bytes >> 24) & 0x3F);
        if (c < 0x10000 || c > kLastCodePoint) {
            return 0;
        }
        dst = putUtf16(dst, c);
        return 4;
    }
    return 0;
}

// Decodes the sequences that start before stop; four bytes are readable from each. Answers false at
// an ill-formed sequence, on which p is left.
bool decodeUtf8(const unsigned char*& position, const unsigned char* stop, unsigned short*& out)
{
    // Local copies, which the compiler keeps in registers.
    const unsigned char* p = position;
    unsigned short* dst = out;
    bool wellFormed = true;
    int asciiRun = 0;
    while (p < stop) {
        if (*p < 0x80) {
            *dst++ = *p++;
            if (++asciiRun == kShortRun) {
                copyASCIIVectors(p, stop, dst);
                asciiRun = 0;
            }
            continue;
        }
        asciiRun = 0;
        uint32_t bytes;
        std::memcpy(&bytes, p, sizeof bytes);
        const int length = decodeSequence(bytes, dst);
        if (length == 0) {
            wellFormed = false;
            break;
        }
        p += length;
    }
    position = p;
    out = dst;
    return wellFormed;
}

// Encodes the units before stop; the unit after each is readable. Answers false at an unpaired
// surrogate, on which p is left. Three-byte forms are stored as a word, so dst needs a byte to spare.
bool encodeUtf8(const unsigned short*& position, const unsigned short* stop, char*& out)
{
    // Local copies, which the compiler keeps in registers: a store through a char pointer could
    // change the originals.
    const unsigned short* p = position;
    char* dst = out;
    bool wellFormed = true;
    while (p < stop) {
        const uint32_t u = *p;
        if (u < 0x80) {
            // Four at once where four units lie before stop: ASCII mostly comes in runs.
            uint32_t bytes;
            if (stop - p >= 4 && narrowFourASCIIUnits(p, bytes)) {
                std::memcpy(dst, &bytes, sizeof bytes);
                dst += 4;
                p += 4;
                continue;
            }
            *dst++ = static_cast<char>(u);
            ++p;
            continue;
        }
        if (u < 0x800) {
            const uint16_t bytes = static_cast<uint16_t>((0xC0 | (u >> 6)) | ((0x80 | (u & 0x3F)) << 8));
            std::memcpy(dst, &bytes, sizeof bytes);
            dst += 2;
            ++p;
            continue;
        }
        if ((u & 0xF800) != kHighSurrogateFirst) {
            const uint32_t bytes =
                (0xE0 | (u >> 12)) | ((0x80 | ((u >> 6) & 0x3F)) << 8) | ((0x80 | (u & 0x3F)) << 16);
            std::memcpy(dst, &bytes, sizeof bytes);
            dst += 3;
            ++p;
            continue;
        }
        if (u >= kLowSurrogateFirst || !isLowSurrogate(p[1])) {
            wellFormed = false;
            break;
        }
        const uint32_t c = 0x10000 + ((u - kHighSurrogateFirst) << 10) + (p[1] - kLowSurrogateFirst);
        const uint32_t bytes = (0xF0 | (c >> 18)) | ((0x80 | ((c >> 12) & 0x3F)) << 8) |
                               ((0x80 | ((c >> 6) & 0x3F)) << 16) | ((0x80 | (c & 0x3F)) << 24);
        std::memcpy(dst, &bytes, sizeof bytes);
        dst += 4;
        p += 2;
    }
    position = p;
    out = dst;
    return wellFormed;
}

// Makes `out` at least n long for writing through its data. Only elements beyond its current size
// are initialised.
template <typename String>
void makeRoom(String& out, std::size_t n)
{
    if (out.size() < n) {
        out.resize(n);
    }
}

// Replaces `out` by the conversion of the n elements at `in` and answers the elements consumed.
// `convert(p, stop, dst)` takes the elements before stop, with kLookahead elements readable from
// each, and writes at most kRoomPerElement for each of them plus kLookahead. The last elements are
// given from a copy padded with zeros, which no conversion takes to continue a sequence, so that a
// sequence cut by the end stops the conversion as an ill-formed one does.
template <std::ptrdiff_t kLookahead, std::size_t kRoomPerElement, auto convert, typename In, typename String>
unsigned long convertInBlocks(const In* in, unsigned long n, String& out)
{
    std::size_t written = 0;
    const In* p = in;
    const In* const end = in + n;
    bool wellFormed = true;
    while (wellFormed && end - p >= kLookahead) {
        const In* const stop = p + std::min(kBlockLength, end - p - (kLookahead - 1));
        makeRoom(out, written + kRoomPerElement * std::size_t(stop - p) + kLookahead);
        auto* dst = out.data() + written;
        wellFormed = convert(p, stop, dst);
        written = std::size_t(dst - out.data());
    }
    if (wellFormed && p < end) {
        In padded[2 * kLookahead] = {};
        std::copy(p, end, padded);
        const In* q = padded;
        makeRoom(out, written + kRoomPerElement * std::size_t(end - p) + kLookahead);
        auto* dst = out.data() + written;
        convert(q, padded + (end - p), dst);
        written = std::size_t(dst - out.data());
        p += q - padded;
    }
    out.resize(written);
    return static_cast<unsigned long>(p - in);
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
    // No sequence gives more units than it has bytes.
    return convertInBlocks<4, 1, decodeUtf8>(in, n, out);
}

unsigned long utf16_to_utf8(const unsigned short* in, unsigned long n, std::string& out)
{
    // Three bytes a unit at most: a pair of units gives four.
    return convertInBlocks<2, 3, encodeUtf8>(in, n, out);
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
