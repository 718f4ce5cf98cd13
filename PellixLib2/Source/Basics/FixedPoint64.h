#pragma once

// A signed 32.32 fixed-point number: the raw 64-bit value stands for raw / 2^32. Addition,
// subtraction, negation and comparison act on the raw values, and wrap on overflow.

#include <compare>
#include <cstdint>

class FixedPoint64
{
public:
    constexpr FixedPoint64() = default;
    // The value of the integer.
    constexpr explicit FixedPoint64(int32_t value) : fRaw(int64_t(uint64_t(int64_t(value)) << 32)) {}

    static constexpr FixedPoint64 FromRaw(int64_t raw)
    {
        FixedPoint64 result;
        result.fRaw = raw;
        return result;
    }
    // The nearest value, halves away from zero; beyond the range the nearest end, NaN 0.
    static FixedPoint64 FromDouble(double value);

    constexpr int64_t Raw() const { return fRaw; }
    // The integer part, rounded toward minus infinity.
    constexpr int32_t ToInt() const { return int32_t(fRaw >> 32); }
    double ToDouble() const;

    constexpr FixedPoint64& operator+=(FixedPoint64 other)
    {
        fRaw = int64_t(uint64_t(fRaw) + uint64_t(other.fRaw));
        return *this;
    }
    constexpr FixedPoint64& operator-=(FixedPoint64 other)
    {
        fRaw = int64_t(uint64_t(fRaw) - uint64_t(other.fRaw));
        return *this;
    }
    friend constexpr FixedPoint64 operator+(FixedPoint64 a, FixedPoint64 b) { return a += b; }
    friend constexpr FixedPoint64 operator-(FixedPoint64 a, FixedPoint64 b) { return a -= b; }
    friend constexpr FixedPoint64 operator-(FixedPoint64 a) { return FromRaw(int64_t(0 - uint64_t(a.fRaw))); }
    friend constexpr auto operator<=>(const FixedPoint64& a, const FixedPoint64& b) = default;

private:
    int64_t fRaw = 0;
};

// The exact product of the raw values shifted right by 32 (toward minus infinity), modulo 2^64.
FixedPoint64 operator*(FixedPoint64 const& a, FixedPoint64 const& b);
// Precision is given up on the divisor, not the dividend; a divisor that becomes 0 gives the
// shifted dividend.
FixedPoint64 operator/(FixedPoint64 const& a, FixedPoint64 const& b);
// a - q * b for the quotient q of the raw values truncated toward zero: the sign of a. a when b is 0.
FixedPoint64 FMod(FixedPoint64 const& a, FixedPoint64 const& b);
