#pragma once

// NSLog: printf conversions plus %@, which prints a CoreFoundation object (a string as it stands,
// an error as its description, anything else as its type's description). One line each, to the
// process's log (standard error unless a capture takes it).

#include <Foundation/NSTypes.h>

void NSLog(NS::String format, ...);
