#pragma once

// A failure of the plug-in as it travels to the driver-interface entry: only its status code.

#include <CoreFoundation/CFBase.h>

class CAException
{
public:
    explicit CAException(OSStatus error) : fError(error) {}

    OSStatus GetError() const { return fError; }

private:
    OSStatus fError;
};
