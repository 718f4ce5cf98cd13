#pragma once

// A driver bundle loaded as the system loads one, once per process, whichever layer's driver it
// holds: its Contents/Info.plist is read, its library (Contents/MacOS/<CFBundleExecutable>) loaded
// when it has one, and then the layer takes in what the property list declares.

#include <CoreFoundation/CoreFoundation.h>

#include <functional>

namespace DriverKitPlatform {

// True when the bundle is loaded, now or before (a second load does nothing); false when the
// property list cannot be read or the library cannot be loaded, and `takeIn` is not called.
bool loadBundleOnce(const char* bundlePath, const std::function<void(CFDictionaryRef info)>& takeIn);

} // namespace DriverKitPlatform
