#include "StructureLock.h"

namespace CFPlatform {

std::mutex& runLoopStructureLock()
{
    // Never destroyed: loops of other threads may change while the process exits.
    static auto* lock = new std::mutex;
    return *lock;
}

} // namespace CFPlatform
