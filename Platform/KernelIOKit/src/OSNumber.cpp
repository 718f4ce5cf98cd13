#include <libkern/c++/OSNumber.h>

OSDefineMetaClassAndStructors(OSNumber, OSObject)
#define super OSObject

    OSNumber* OSNumber::withNumber(unsigned long long value, unsigned int numberOfBits)
{
    auto* number = new OSNumber;
    if (!number->init(value, numberOfBits)) {
        number->release();
        return nullptr;
    }
    return number;
}

bool OSNumber::init(unsigned long long value, unsigned int numberOfBits)
{
    if (numberOfBits == 0 || numberOfBits > 64 || !super::init()) {
        return false;
    }
    fBits = numberOfBits;
    fValue = numberOfBits == 64 ? value : value & ((1ull << numberOfBits) - 1);
    return true;
}

bool OSNumber::isEqualTo(const OSNumber* other) const
{
    return other && fValue == other->fValue;
}
