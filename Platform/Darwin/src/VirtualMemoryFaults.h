#pragma once

#include <mach/kern_return.h>

namespace Darwin {

// A failure a test has injected into the next page allocation of the task.
void failNextVMAllocate(kern_return_t result);

// The injected failure, taken once; KERN_SUCCESS when none is pending.
kern_return_t takeVMAllocateFault();

} // namespace Darwin
