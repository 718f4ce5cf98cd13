#pragma once

// What a test asks to happen before each frame-number read of a USB nub: on the manual clock it
// steps the clock, as reading the counter takes time on a real bus.

#include <functional>

namespace KernelIOKitPlatform {

// An empty function removes the hook.
void setFrameReadHook(std::function<void()> beforeRead);
// On the reading thread; takes no lock while no hook is set.
void beforeFrameRead();

} // namespace KernelIOKitPlatform
