#include "Number/NumberConversion.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace CFPlatform {

namespace {

// 2^63, the first double above every int64_t.
constexpr double kTwoTo63 = 9223372036854775808.0;

template <typename T>
void put(T value, void* out)
{
    std::memcpy(out, &value, sizeof value);
}

template <typename T>
bool storeIntegerAs(int64_t value, void* out)
{
    constexpr int64_t low = std::numeric_limits<T>::min();
    constexpr int64_t high = std::numeric_limits<T>::max();
    put(static_cast<T>(value < low ? low : value > high ? high : value), out);
    return value >= low && value <= high;
}

template <typename T>
bool storeDoubleAsInteger(double value, void* out)
{
    if (std::isnan(value)) {
        put(T{0}, out);
        return false;
    }
    constexpr T low = std::numeric_limits<T>::min();
    constexpr T high = std::numeric_limits<T>::max();
    // Both limits are checked as doubles that are exact: low is a power of two, and so is
    // -low = high + 1.
    if (value < static_cast<double>(low)) {
        put(low, out);
        return false;
    }
    if (value >= -static_cast<double>(low)) {
        put(high, out);
        return false;
    }
    double whole = std::trunc(value);
    put(static_cast<T>(whole), out);
    return whole == value;
}

bool storeDoubleAsFloat(double value, void* out)
{
    constexpr double largest = std::numeric_limits<float>::max();
    if (std::isnan(value)) {
        put(std::numeric_limits<float>::quiet_NaN(), out);
        return true;
    }
    if (std::isfinite(value) && std::fabs(value) > largest) {
        put(static_cast<float>(std::copysign(largest, value)), out);
        return false;
    }
    auto narrowed = static_cast<float>(value);
    put(narrowed, out);
    return static_cast<double>(narrowed) == value;
}

} // namespace

std::optional<CFNumberType> canonicalNumberType(CFNumberType type)
{
    switch (type) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
        return kCFNumberSInt8Type;
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
        return kCFNumberSInt16Type;
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
        return kCFNumberSInt32Type;
    case kCFNumberSInt64Type:
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
    case kCFNumberNSIntegerType:
        return kCFNumberSInt64Type;
    case kCFNumberFloat32Type:
    case kCFNumberFloatType:
        return kCFNumberFloat32Type;
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType:
    case kCFNumberCGFloatType:
        return kCFNumberFloat64Type;
    default:
        return std::nullopt;
    }
}

CFComparisonResult compareIntegerWithDouble(int64_t integer, double value)
{
    if (std::isnan(value)) {
        return kCFCompareGreaterThan;
    }
    if (value >= kTwoTo63) {
        return kCFCompareLessThan;
    }
    if (value < -kTwoTo63) {
        return kCFCompareGreaterThan;
    }
    double whole = std::trunc(value);
    auto wholeInteger = static_cast<int64_t>(whole);
    if (integer != wholeInteger) {
        return integer < wholeInteger ? kCFCompareLessThan : kCFCompareGreaterThan;
    }
    return value > whole ? kCFCompareLessThan : value < whole ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

bool storeInteger(int64_t value, CFNumberType type, void* out)
{
    switch (type) {
    case kCFNumberSInt8Type:
        return storeIntegerAs<int8_t>(value, out);
    case kCFNumberSInt16Type:
        return storeIntegerAs<int16_t>(value, out);
    case kCFNumberSInt32Type:
        return storeIntegerAs<int32_t>(value, out);
    case kCFNumberSInt64Type:
        put(value, out);
        return true;
    case kCFNumberFloat32Type: {
        auto narrowed = static_cast<float>(value);
        put(narrowed, out);
        return compareIntegerWithDouble(value, static_cast<double>(narrowed)) == kCFCompareEqualTo;
    }
    default: {
        auto widened = static_cast<double>(value);
        put(widened, out);
        return compareIntegerWithDouble(value, widened) == kCFCompareEqualTo;
    }
    }
}

bool storeDouble(double value, CFNumberType type, void* out)
{
    switch (type) {
    case kCFNumberSInt8Type:
        return storeDoubleAsInteger<int8_t>(value, out);
    case kCFNumberSInt16Type:
        return storeDoubleAsInteger<int16_t>(value, out);
    case kCFNumberSInt32Type:
        return storeDoubleAsInteger<int32_t>(value, out);
    case kCFNumberSInt64Type:
        return storeDoubleAsInteger<int64_t>(value, out);
    case kCFNumberFloat32Type:
        return storeDoubleAsFloat(value, out);
    default:
        put(value, out);
        return true;
    }
}

} // namespace CFPlatform
