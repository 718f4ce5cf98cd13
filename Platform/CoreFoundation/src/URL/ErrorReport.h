#pragma once

// Fills the optional CFErrorRef* argument of the URL and property-list calls.

#include <CoreFoundation/CFError.h>

namespace CFPlatform {

// Stores a new error at `error` when it is not NULL, with `description` under kCFErrorDescriptionKey.
void reportError(CFErrorRef* error, CFErrorDomain domain, CFIndex code, const char* description);

} // namespace CFPlatform
