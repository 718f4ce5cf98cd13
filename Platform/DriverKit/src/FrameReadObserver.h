#pragma once

// Who is told of each frame-number read: the test hook behind DriverKitTesting::observeFrameReads.

#include <cstdint>

namespace DriverKitPlatform {

using FrameReadObserver = void (*)(void* context, uint64_t frame, uint64_t time);

void setFrameReadObserver(FrameReadObserver observer, void* context);
void tellFrameRead(uint64_t frame, uint64_t time);

} // namespace DriverKitPlatform
