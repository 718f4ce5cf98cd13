#include <DarwinTesting/VirtualMemory.h>

#include "InjectedFault.h"

namespace DarwinTesting {

void failNextVMAllocate(kern_return_t result)
{
    Darwin::vmAllocateFault().failNext(result);
}

} // namespace DarwinTesting
