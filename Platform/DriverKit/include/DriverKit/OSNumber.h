#pragma once

#include <DriverKit/OSObject.h>

// An integer of 8, 16, 32 or 64 bits.
class OSNumber : public OSObject
{
public:
    static OSNumber* withNumber(uint64_t value, size_t numberOfBits);

    uint64_t unsigned64BitValue() const;
    uint32_t unsigned32BitValue() const;
    uint16_t unsigned16BitValue() const;
    uint8_t unsigned8BitValue() const;
    size_t numberOfBits() const;

private:
    uint64_t fValue = 0;
    size_t fBits = 64;
};
