#include <DarwinTesting/VirtualMemory.h>

#include "VirtualMemoryFaults.h"

namespace DarwinTesting {

void failNextVMAllocate(kern_return_t result)
{
    Darwin::failNextVMAllocate(result);
}

} // namespace DarwinTesting
