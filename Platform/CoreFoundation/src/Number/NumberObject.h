#pragma once

// A CFNumber holds either a 64-bit integer or a double (Float32 values are exact in a double), and
// remembers the fixed-size type it was created as.

#include <CFPlatform/Object.h>
#include <CoreFoundation/CFNumber.h>

namespace CFPlatform {

class NumberObject final : public Object
{
public:
    NumberObject(CFNumberType type, int64_t value) : fType(type), fInteger(value) {}
    NumberObject(CFNumberType type, double value) : fType(type), fFloat(value) {}

    static CFTypeID staticTypeID();
    CFTypeID typeID() const override { return staticTypeID(); }
    // Values compare across types: SInt32 5 equals Float64 5.0 and hashes alike.
    bool equals(const Object& other) const override;
    CFHashCode hash() const override;

    CFNumberType type() const { return fType; }
    bool isFloat() const { return fType == kCFNumberFloat32Type || fType == kCFNumberFloat64Type; }
    int64_t integer() const { return fInteger; }
    double floating() const { return fFloat; }

    CFComparisonResult compare(const NumberObject& other) const;

private:
    CFNumberType fType;
    union
    {
        int64_t fInteger;
        double fFloat;
    };
};

} // namespace CFPlatform
