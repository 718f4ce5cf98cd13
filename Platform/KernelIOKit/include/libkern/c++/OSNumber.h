#pragma once

// An unsigned integer of 8, 16, 32 or 64 bits.

#include <libkern/c++/OSObject.h>

inline namespace kernel {

class OSNumber : public OSObject
{
    OSDeclareDefaultStructors(OSNumber)

        public :
        // The value is cut to `numberOfBits` (at most 64); null for 0 bits or more than 64.
        static OSNumber* withNumber(unsigned long long value, unsigned int numberOfBits);

    virtual bool init(unsigned long long value, unsigned int numberOfBits);
    unsigned int numberOfBits() const { return fBits; }
    uint8_t unsigned8BitValue() const { return static_cast<uint8_t>(fValue); }
    uint16_t unsigned16BitValue() const { return static_cast<uint16_t>(fValue); }
    uint32_t unsigned32BitValue() const { return static_cast<uint32_t>(fValue); }
    uint64_t unsigned64BitValue() const { return fValue; }
    bool isEqualTo(const OSNumber* other) const;

private:
    using OSObject::init;

    uint64_t fValue = 0;
    unsigned int fBits = 0;
};

} // namespace kernel
