#pragma once

// The values the platform bridges toll-free are the CoreFoundation objects themselves.

#include <CoreFoundation/CoreFoundation.h>

namespace NS {

using String = CFStringRef;
using URL = CFURLRef;
using Array = CFArrayRef;
using Error = CFErrorRef;
using Dictionary = CFDictionaryRef;

} // namespace NS
