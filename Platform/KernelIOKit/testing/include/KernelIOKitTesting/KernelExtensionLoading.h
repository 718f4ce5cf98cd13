#pragma once

// What a host in user space needs to run kernel extensions: no kernel type appears here, so code
// built without the kernel's headers (the end-to-end host, user-space tests) includes it and links
// KernelIOKitTesting as a link-only dependency.

#include <cstdint>

namespace KernelIOKitTesting {

// Loads a kernel extension bundle as the system does: the bundle's library
// (Contents/MacOS/<CFBundleExecutable>) when it has one, else the classes already in the process,
// and the IOKitPersonalities of Contents/Info.plist, which from then on take part in the matching
// of the bus's USB nubs beside the driver extensions' personalities, by probe score. Nubs already
// present without a driver are matched at once. Loading the same bundle again does nothing. False
// when the property list cannot be read or the library cannot be loaded.
bool loadKernelExtension(const char* bundlePath);

// Live objects of the named kernel class and its subclasses; 0 for a class that is not loaded.
int32_t liveObjects(const char* className);

} // namespace KernelIOKitTesting
