#pragma once

#include <mach/kern_return.h>

#include <atomic>

namespace Darwin {

// A failure a test injects into the next call of one interface, taken once by whichever thread
// makes that call.
class InjectedFault
{
public:
    void failNext(kern_return_t result) { fNext.store(result, std::memory_order_release); }

    // The injected result, once; KERN_SUCCESS when none is pending.
    kern_return_t take()
    {
        // Read first: the exchange would make every call write a shared line.
        if (fNext.load(std::memory_order_relaxed) == KERN_SUCCESS) {
            return KERN_SUCCESS;
        }
        return fNext.exchange(KERN_SUCCESS, std::memory_order_acq_rel);
    }

private:
    std::atomic<kern_return_t> fNext{KERN_SUCCESS};
};

// The faults tests can inject, one per interface.
InjectedFault& vmAllocateFault();
InjectedFault& semaphoreCreateFault();

} // namespace Darwin
