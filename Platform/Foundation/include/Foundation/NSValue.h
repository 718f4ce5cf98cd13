#pragma once

// The value objects of message bodies and key-value settings. Numbers and booleans are the
// toll-free CFNumber and CFBoolean; the null object is a CoreFoundation object of its own type.

#include <CoreFoundation/CoreFoundation.h>

namespace NS {

class Null
{
public:
    // The one null object; it ignores retain and release.
    static CFTypeRef null();
    static CFTypeID typeID();
};

// kCFBooleanTrue or kCFBooleanFalse.
inline CFBooleanRef numberWithBool(bool value)
{
    return value ? kCFBooleanTrue : kCFBooleanFalse;
}

} // namespace NS
