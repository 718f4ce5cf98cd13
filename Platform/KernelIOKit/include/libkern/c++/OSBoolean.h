#pragma once

// The two boolean objects. They live as long as the process: retain and release do nothing.

#include <libkern/c++/OSObject.h>

inline namespace kernel {

class OSBoolean : public OSObject
{
    OSDeclareDefaultStructors(OSBoolean)

        public : static OSBoolean* withBoolean(bool value);

    bool isTrue() const { return fValue; }
    bool isFalse() const { return !fValue; }
    bool getValue() const { return fValue; }

    void retain() const override {}
    void release() const override {}

private:
    bool fValue = false;

    friend struct OSBooleanInstances;
};

extern OSBoolean* const kOSBooleanTrue;
extern OSBoolean* const kOSBooleanFalse;

} // namespace kernel
