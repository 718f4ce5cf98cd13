#pragma once

#include <atomic>

namespace DarwinRealTime {

// Whether the threads that stand for the kernel, the drivers and the hardware enter the real-time
// class; set through DarwinTesting.
std::atomic<bool>& driverThreadsSwitch();

} // namespace DarwinRealTime
