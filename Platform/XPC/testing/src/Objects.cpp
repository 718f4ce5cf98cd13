#include <XPCTesting/Objects.h>

#include "Object.h"

namespace XPCTesting {

size_t liveObjectCount()
{
    return XPC::liveObjectCount();
}

} // namespace XPCTesting
