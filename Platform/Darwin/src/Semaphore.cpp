#include "Semaphore.h"

#include "Futex.h"

#include <Darwin/Clock.h>

#include <algorithm>
#include <optional>

namespace Darwin {

namespace {

constexpr kern_return_t kPending = -1;

} // namespace

struct Semaphore::Waiter
{
    Semaphore* fSemaphore;
    Waiter* fPrevious = nullptr;
    Waiter* fNext = nullptr;
    bool fLinked = false;
    kern_return_t fResult = kPending;
    // The futex of a waiter behind the first: bumped when it reaches the front, when it is released
    // and when the clock wakes it.
    std::atomic<uint32_t> fTurn{0};

    void bumpTurn()
    {
        fTurn.fetch_add(1, std::memory_order_acq_rel);
        Futex::wake(&fTurn, 1);
    }
};

void Semaphore::reset(int value)
{
    std::lock_guard lock(fWaitLock);
    fValue.store(value, std::memory_order_release);
    fGrants.store(0, std::memory_order_release);
    fAbortedWaits.store(0, std::memory_order_relaxed);
    fGrantsTaken = 0;
    fDestroyed = false;
}

void Semaphore::grantToFirstWaiter()
{
    fGrants.fetch_add(1, std::memory_order_acq_rel);
    // The first waiter sleeps on the word, and so does a waiter whose time ran out while a signal
    // was covering it.
    Futex::wake(&fGrants, INT_MAX);
}

kern_return_t Semaphore::wait(uint64_t deadline, bool isTry)
{
    if (takeAbortedWait()) {
        return KERN_ABORTED;
    }
    int64_t value = fValue.load(std::memory_order_relaxed);
    for (;;) {
        if (value < kDestroyedBelow) {
            return KERN_INVALID_ARGUMENT;
        }
        if (value <= 0 && isTry) {
            return KERN_OPERATION_TIMED_OUT;
        }
        if (fValue.compare_exchange_weak(value, value - 1, std::memory_order_acq_rel,
                                         std::memory_order_relaxed)) {
            return value > 0 ? KERN_SUCCESS : block(deadline);
        }
    }
}

kern_return_t Semaphore::block(uint64_t deadline)
{
    Waiter self{this};
    std::unique_lock lock(fWaitLock);
    if (fDestroyed) {
        return KERN_TERMINATED;
    }
    self.fPrevious = fLast;
    (fLast ? fLast->fNext : fFirst) = &self;
    fLast = &self;
    self.fLinked = true;

    std::optional<DarwinClock::WaitRegistration> registration;
    if (deadline != DarwinClock::kNever) {
        registration.emplace(deadline, "semaphore_timedwait", &wakeForClock, &self);
    }
    bool expired = false;
    while (self.fResult == kPending) {
        // Read both futex words before deciding, so a change after this point makes the sleep
        // return at once instead of being lost.
        uint32_t grants = fGrants.load(std::memory_order_acquire);
        uint32_t turn = self.fTurn.load(std::memory_order_acquire);
        bool first = fFirst == &self;
        if (first && outstanding(grants) > 0) {
            ++fGrantsTaken;
            self.fResult = KERN_SUCCESS;
            break;
        }
        expired = expired || (registration && DarwinClock::hostNow() >= deadline);
        if (expired) {
            self.fResult = leave(grants);
            if (self.fResult != kPending) {
                break;
            }
        }
        auto real = registration && !expired ? registration->realDeadline() : std::nullopt;
        lock.unlock();
        if (first || expired) {
            Futex::wait(&fGrants, grants, real);
        } else {
            Futex::wait(&self.fTurn, turn, real);
        }
        lock.lock();
    }
    if (self.fLinked) {
        unlink(self);
    }
    return self.fResult;
}

kern_return_t Semaphore::leave(uint32_t grants)
{
    int64_t value = fValue.load(std::memory_order_relaxed);
    for (;;) {
        if (value < kDestroyedBelow) {
            return KERN_TERMINATED;
        }
        if (value >= 0) {
            break;
        }
        if (fValue.compare_exchange_weak(value, value + 1, std::memory_order_acq_rel,
                                         std::memory_order_relaxed)) {
            return KERN_OPERATION_TIMED_OUT;
        }
    }
    // No waiter is left uncovered, so a signal covers this one: its grant is out or on its way.
    if (outstanding(grants) > 0) {
        ++fGrantsTaken;
        return KERN_SUCCESS;
    }
    return kPending;
}

void Semaphore::unlink(Waiter& waiter)
{
    bool wasFirst = fFirst == &waiter;
    (waiter.fPrevious ? waiter.fPrevious->fNext : fFirst) = waiter.fNext;
    (waiter.fNext ? waiter.fNext->fPrevious : fLast) = waiter.fPrevious;
    waiter.fPrevious = waiter.fNext = nullptr;
    waiter.fLinked = false;
    if (wasFirst && fFirst) {
        fFirst->bumpTurn();
    }
}

kern_return_t Semaphore::signalAll()
{
    std::lock_guard lock(fWaitLock);
    if (fDestroyed) {
        return KERN_INVALID_ARGUMENT;
    }
    int64_t queued = 0;
    for (Waiter* waiter = fFirst; waiter; waiter = waiter->fNext) {
        ++queued;
    }
    if (queued == 0) {
        return KERN_SUCCESS;
    }
    // Waiters no signal covers are released by taking them out of the value, so nothing is added
    // to the count; the others take the grants of the signals that cover them, ahead of any grant
    // still on its way.
    int64_t value = fValue.load(std::memory_order_relaxed);
    int64_t uncovered;
    do {
        uncovered = std::min(queued, value < 0 ? -value : 0);
    } while (!fValue.compare_exchange_weak(value, value + uncovered, std::memory_order_acq_rel,
                                           std::memory_order_relaxed));
    fGrantsTaken += uint32_t(queued - uncovered);
    releaseAllWaiters(KERN_SUCCESS);
    return KERN_SUCCESS;
}

void Semaphore::destroy()
{
    std::lock_guard lock(fWaitLock);
    fDestroyed = true;
    fValue.store(kDestroyedValue, std::memory_order_release);
    releaseAllWaiters(KERN_TERMINATED);
}

void Semaphore::releaseAllWaiters(kern_return_t result)
{
    while (fFirst) {
        Waiter* waiter = fFirst;
        waiter->fResult = result;
        unlink(*waiter);
        waiter->bumpTurn();
    }
    nudge();
}

void Semaphore::nudge()
{
    fGrants.fetch_add(kNudge, std::memory_order_acq_rel);
    Futex::wake(&fGrants, INT_MAX);
}

void Semaphore::wakeForClock(void* context)
{
    auto* waiter = static_cast<Waiter*>(context);
    waiter->bumpTurn();
    // It may be first in line, asleep on the grants word.
    waiter->fSemaphore->nudge();
}

void Semaphore::injectAbortedWaits(int count)
{
    fAbortedWaits.fetch_add(count, std::memory_order_acq_rel);
}

bool Semaphore::takeAbortedWait()
{
    int count = fAbortedWaits.load(std::memory_order_relaxed);
    while (count > 0) {
        if (fAbortedWaits.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
            return true;
        }
    }
    return false;
}

size_t Semaphore::blockedWaiters()
{
    std::lock_guard lock(fWaitLock);
    size_t count = 0;
    for (Waiter* waiter = fFirst; waiter; waiter = waiter->fNext) {
        ++count;
    }
    return count;
}

} // namespace Darwin
