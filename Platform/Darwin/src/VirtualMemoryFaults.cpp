#include "VirtualMemoryFaults.h"

#include <atomic>

namespace Darwin {

namespace {

std::atomic<kern_return_t> gNextAllocateResult{KERN_SUCCESS};

} // namespace

void failNextVMAllocate(kern_return_t result)
{
    gNextAllocateResult.store(result, std::memory_order_release);
}

kern_return_t takeVMAllocateFault()
{
    // Read first: the exchange would make every allocation write a shared line.
    if (gNextAllocateResult.load(std::memory_order_relaxed) == KERN_SUCCESS) {
        return KERN_SUCCESS;
    }
    return gNextAllocateResult.exchange(KERN_SUCCESS, std::memory_order_acq_rel);
}

} // namespace Darwin
