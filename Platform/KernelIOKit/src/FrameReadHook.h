#pragma once

// What a test asks to happen after each frame-number read of a USB nub: on the manual clock it
// steps the clock, as the next read comes later on a real bus; a benchmark sees what was read.

#include <cstdint>
#include <functional>

namespace KernelIOKitPlatform {

using FrameReadHook = std::function<void(uint64_t frame, uint64_t time)>;

// An empty function removes the hook.
void setFrameReadHook(FrameReadHook afterRead);
// On the reading thread; takes no lock while no hook is set.
void frameRead(uint64_t frame, uint64_t time);

} // namespace KernelIOKitPlatform
