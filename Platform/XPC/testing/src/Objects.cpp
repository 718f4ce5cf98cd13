#include <XPCTesting/Objects.h>

#include "Object.h"

namespace XPCTesting {

size_t liveValueCount()
{
    return XPC::liveValueCount();
}

} // namespace XPCTesting
