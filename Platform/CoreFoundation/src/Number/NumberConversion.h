#pragma once

// Exact comparison of integers and doubles, and conversions that report whether they lost anything.

#include <CoreFoundation/CFNumber.h>

#include <optional>

namespace CFPlatform {

// The fixed-size type a number type is stored as, or nothing for an unknown type.
std::optional<CFNumberType> canonicalNumberType(CFNumberType type);

// Orders an integer against a double without rounding either; NaN sorts before everything.
CFComparisonResult compareIntegerWithDouble(int64_t integer, double value);

// Stores `value` in the canonical `type` at `out`; answers whether nothing was lost. Lossy results
// are truncated towards zero and saturated at the type's limits, NaN gives 0.
bool storeInteger(int64_t value, CFNumberType type, void* out);
bool storeDouble(double value, CFNumberType type, void* out);

} // namespace CFPlatform
