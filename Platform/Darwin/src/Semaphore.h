#pragma once

#include <mach/semaphore.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace Darwin {

// A counting semaphore whose blocked waiters are served first in, first out.
//
// The value counts free permits, or, below zero, the waiters no signal has covered yet. A signal
// adds one to it with one atomic update; only when that covers a waiter does it also hand out a
// grant and wake the first waiter in line, the one thread asleep on the grants word. It never takes
// a lock. Waiters queue under their own mutex and take grants strictly in queue order; the others
// sleep on their own futex until they reach the front.
class Semaphore
{
public:
    // A waiter blocked in `wait`; lives on the waiting thread's stack.
    struct Waiter;

    void reset(int value);

    // Inline: the real-time path of semaphore_signal.
    kern_return_t signal()
    {
        int64_t old = fValue.fetch_add(1, std::memory_order_acq_rel);
        if (old >= 0) {
            return KERN_SUCCESS;
        }
        if (old < kDestroyedBelow) {
            return KERN_INVALID_ARGUMENT;
        }
        grantToFirstWaiter();
        return KERN_SUCCESS;
    }

    kern_return_t signalAll();
    // Waits until a permit is taken, the deadline (host time; DarwinClock::kNever: none) passes, or
    // the semaphore is destroyed. With `isTry`, returns at once when no permit is free.
    kern_return_t wait(uint64_t deadline, bool isTry);
    // Current waiters return KERN_TERMINATED; every later call fails.
    void destroy();

    void injectAbortedWaits(int count);
    size_t blockedWaiters();

    // Reference count and name of the handle table (SemaphoreTable).
    std::atomic<uint32_t> fReferences{0};
    std::atomic<semaphore_t> fName{0};

private:
    // A destroyed semaphore's value: so far below zero that no number of signals brings it back.
    static constexpr int64_t kDestroyedValue = INT64_MIN / 2;
    static constexpr int64_t kDestroyedBelow = INT64_MIN / 4;
    // The grants word: 24 bits counting grants, above them 8 bits counting nudges; both wrap.
    static constexpr uint32_t kNudge = 1u << 24;

    void grantToFirstWaiter();
    // Grants handed out and not yet taken; negative when taken ahead of a signal still on its way.
    int32_t outstanding(uint32_t grants) const { return int32_t((grants - fGrantsTaken) << 8) >> 8; }
    bool takeAbortedWait();
    kern_return_t block(uint64_t deadline);
    // Gives up a wait whose deadline has passed: KERN_OPERATION_TIMED_OUT, or KERN_SUCCESS when a
    // signal covers it already; still pending when that signal's grant is on its way.
    kern_return_t leave(uint32_t grants);
    void nudge();
    void unlink(Waiter& waiter);
    // Ends every queued wait with `result`; the caller holds fWaitLock.
    void releaseAllWaiters(kern_return_t result);
    static void wakeForClock(void* context);

    // On a cache line of its own: signallers write it, waiters write the reference count.
    alignas(64) std::atomic<int64_t> fValue{0};
    // The futex of the first waiter.
    std::atomic<uint32_t> fGrants{0};
    std::atomic<int> fAbortedWaits{0};

    std::mutex fWaitLock;
    Waiter* fFirst = nullptr;
    Waiter* fLast = nullptr;
    uint32_t fGrantsTaken = 0;
    bool fDestroyed = false;
};

} // namespace Darwin
