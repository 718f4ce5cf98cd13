#include "Number/NumberObject.h"

#include "Number/NumberConversion.h"

#include <cmath>
#include <cstring>

namespace CFPlatform {

namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;

CFHashCode mix(uint64_t value)
{
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    return value;
}

CFComparisonResult reversed(CFComparisonResult result)
{
    return -result;
}

} // namespace

CFTypeID NumberObject::staticTypeID()
{
    static const CFTypeID type = registerType("CFNumber");
    return type;
}

bool NumberObject::equals(const Object& other) const
{
    return compare(static_cast<const NumberObject&>(other)) == kCFCompareEqualTo;
}

CFHashCode NumberObject::hash() const
{
    if (!isFloat()) {
        return mix(static_cast<uint64_t>(fInteger));
    }
    if (std::isnan(fFloat)) {
        return mix(0x7ff8000000000000ULL);
    }
    // A whole value hashes as the integer it equals.
    if (std::trunc(fFloat) == fFloat && fFloat >= -kTwoTo63 && fFloat < kTwoTo63) {
        return mix(static_cast<uint64_t>(static_cast<int64_t>(fFloat)));
    }
    uint64_t bits;
    std::memcpy(&bits, &fFloat, sizeof bits);
    return mix(bits);
}

CFComparisonResult NumberObject::compare(const NumberObject& other) const
{
    if (!isFloat() && !other.isFloat()) {
        return fInteger < other.fInteger   ? kCFCompareLessThan
               : fInteger > other.fInteger ? kCFCompareGreaterThan
                                           : kCFCompareEqualTo;
    }
    if (!isFloat()) {
        return compareIntegerWithDouble(fInteger, other.fFloat);
    }
    if (!other.isFloat()) {
        return reversed(compareIntegerWithDouble(other.fInteger, fFloat));
    }
    bool nan = std::isnan(fFloat);
    bool otherNaN = std::isnan(other.fFloat);
    if (nan || otherNaN) {
        return nan && otherNaN ? kCFCompareEqualTo : nan ? kCFCompareLessThan : kCFCompareGreaterThan;
    }
    return fFloat < other.fFloat   ? kCFCompareLessThan
           : fFloat > other.fFloat ? kCFCompareGreaterThan
                                   : kCFCompareEqualTo;
}

} // namespace CFPlatform
