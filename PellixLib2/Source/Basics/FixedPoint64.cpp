#include "FixedPoint64.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kScale = 4294967296.0;
constexpr int64_t kSmallest = std::numeric_limits<int64_t>::min();

} // namespace

FixedPoint64 FixedPoint64::FromDouble(double value)
{
    if (std::isnan(value)) {
        return FixedPoint64();
    }
    double scaled = std::round(value * kScale);
    // 2^63 itself does not fit; the largest double below it does.
    if (scaled >= 9223372036854775808.0) {
        return FromRaw(std::numeric_limits<int64_t>::max());
    }
    if (scaled <= -9223372036854775808.0) {
        return FromRaw(kSmallest);
    }
    return FromRaw(int64_t(scaled));
}

double FixedPoint64::ToDouble() const
{
    return double(fRaw) / kScale;
}

FixedPoint64 operator*(FixedPoint64 const& a, FixedPoint64 const& b)
{
    // From the 32-bit halves, high halves signed, low halves unsigned; every partial product fits
    // 64 bits and their sum wraps as unsigned arithmetic.
    int64_t aHigh = a.Raw() >> 32;
    int64_t bHigh = b.Raw() >> 32;
    uint64_t aLow = uint32_t(a.Raw());
    uint64_t bLow = uint32_t(b.Raw());
    uint64_t raw = (uint64_t(aHigh * bHigh) << 32) + uint64_t(aHigh * int64_t(bLow)) +
                   uint64_t(int64_t(aLow) * bHigh) + ((aLow * bLow) >> 32);
    return FixedPoint64::FromRaw(int64_t(raw));
}

FixedPoint64 operator/(FixedPoint64 const& a, FixedPoint64 const& b)
{
    // The dividend is shifted up as far as its sign allows, at most 32 bits, and the divisor down
    // by the rest.
    int shift = std::min(__builtin_clrsbll(a.Raw()), 32);
    int64_t dividend = int64_t(uint64_t(a.Raw()) << shift);
    int64_t divisor = b.Raw() >> (32 - shift);
    if (divisor == 0) {
        return FixedPoint64::FromRaw(dividend);
    }
    // The one quotient beyond 64 bits wraps to itself.
    if (dividend == kSmallest && divisor == -1) {
        return FixedPoint64::FromRaw(kSmallest);
    }
    return FixedPoint64::FromRaw(dividend / divisor);
}

FixedPoint64 FMod(FixedPoint64 const& a, FixedPoint64 const& b)
{
    if (b.Raw() == 0) {
        return a;
    }
    // Every value is a multiple of -1; the remainder of the smallest by it would trap.
    if (b.Raw() == -1) {
        return FixedPoint64();
    }
    return FixedPoint64::FromRaw(a.Raw() % b.Raw());
}
