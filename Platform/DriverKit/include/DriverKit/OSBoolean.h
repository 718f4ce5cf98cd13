#pragma once

#include <DriverKit/OSObject.h>

// The two booleans; never freed.
class OSBoolean : public OSObject
{
public:
    static OSBoolean* withBoolean(bool value);
    bool getValue() const { return fValue; }
    bool isTrue() const { return fValue; }

    explicit OSBoolean(bool value) : fValue(value) {}

private:
    bool fValue;
};

extern OSBoolean* const kOSBooleanTrue;
extern OSBoolean* const kOSBooleanFalse;
