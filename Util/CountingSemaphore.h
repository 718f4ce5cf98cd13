#pragma once

// A counting semaphore on a Mach semaphore: waiters wake first in, first out, and release() is a
// single semaphore_signal, safe on real-time threads. Max is a type parameter only; the count is not
// clamped. Interrupted waits (KERN_ABORTED) are retried.

#include <mach/mach.h>

#include <chrono>
#include <climits>
#include <cstddef>

namespace vork {

template <std::ptrdiff_t Max>
class counting_semaphore
{
public:
    counting_semaphore() { fCreation = semaphore_create(mach_task_self(), &fSemaphore, SYNC_POLICY_FIFO, 0); }

    ~counting_semaphore()
    {
        if (fCreation == KERN_SUCCESS) {
            semaphore_destroy(mach_task_self(), fSemaphore);
        }
    }

    counting_semaphore(const counting_semaphore&) = delete;
    counting_semaphore& operator=(const counting_semaphore&) = delete;

    void acquire()
    {
        while (semaphore_wait(fSemaphore) == KERN_ABORTED) {
        }
    }

    bool try_acquire()
    {
        kern_return_t result;
        do {
            result = semaphore_timedwait(fSemaphore, mach_timespec_t{0, 0});
        } while (result == KERN_ABORTED);
        return result == KERN_SUCCESS;
    }

    // Waits at most until `deadline`; a deadline already passed only tries. An interrupted wait
    // goes on with the time then left.
    bool try_acquire_until(std::chrono::steady_clock::time_point deadline)
    {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                deadline - std::chrono::steady_clock::now());
            const kern_return_t result = semaphore_timedwait(fSemaphore, timeout(left));
            if (result != KERN_ABORTED) {
                return result == KERN_SUCCESS;
            }
            if (deadline <= std::chrono::steady_clock::now()) {
                return false;
            }
        }
    }

    void release() { semaphore_signal(fSemaphore); }

    semaphore_t native_handle() const { return fSemaphore; }

private:
    static mach_timespec_t timeout(std::chrono::microseconds left)
    {
        if (left.count() <= 0) {
            return mach_timespec_t{0, 0};
        }
        const auto seconds = left.count() / 1000000;
        if (seconds >= UINT_MAX) {
            return mach_timespec_t{UINT_MAX, 0};
        }
        return mach_timespec_t{static_cast<unsigned int>(seconds),
                               static_cast<clock_res_t>(left.count() % 1000000 * 1000)};
    }

    kern_return_t fCreation = KERN_FAILURE;
    semaphore_t fSemaphore = 0;
};

} // namespace vork
