#pragma once

#include <mach/kern_return.h>

namespace DarwinTesting {

// The next vm_allocate or mach_vm_allocate of the process, on any thread, returns `result` and maps
// nothing.
void failNextVMAllocate(kern_return_t result);

} // namespace DarwinTesting
