#pragma once

#include <mutex>

namespace CFPlatform {

// Guards which loops and modes hold which sources and timers, across all loops. Taken before a
// loop's own lock; a loop's pass never takes it, so it serialises only structural changes.
std::mutex& runLoopStructureLock();

} // namespace CFPlatform
