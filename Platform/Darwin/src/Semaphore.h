#pragma once

#include <mach/semaphore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace Darwin {

// A counting semaphore whose blocked waiters are served first in, first out.
//
// One 64-bit word holds the value (permits available, or minus the waiters no grant covers yet),
// the count of grants handed to blocked waiters, and a count of nudges. `signal` changes that word
// with one compare-and-swap and, when it hands out a grant, wakes the futex on the word's low half,
// on which only the first waiter in line sleeps: it never takes a lock. Waiters queue under their
// own mutex and take grants strictly in queue order; the others sleep on their own futex until
// they reach the front.
class Semaphore
{
public:
    // A waiter blocked in `wait`; lives on the waiting thread's stack.
    struct Waiter;

    void reset(int value);

    kern_return_t signal();
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
    bool takeAbortedWait();
    kern_return_t block(uint64_t deadline);
    // Gives up a wait whose deadline has passed: KERN_OPERATION_TIMED_OUT, or KERN_SUCCESS when a
    // grant already covers it.
    kern_return_t leave();
    void nudge();
    void unlink(Waiter& waiter);
    static void wakeForClock(void* context);

    std::atomic<uint64_t> fWord{0};
    std::atomic<int> fAbortedWaits{0};

    std::mutex fWaitLock;
    Waiter* fFirst = nullptr;
    Waiter* fLast = nullptr;
    uint32_t fGrantsTaken = 0;
    bool fDestroyed = false;
};

} // namespace Darwin
