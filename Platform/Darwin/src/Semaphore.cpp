#include "Semaphore.h"

#include "Futex.h"

#include <Darwin/Clock.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <optional>

namespace Darwin {

namespace {

// The word: the value in the high half; in the low half, the futex of the first waiter, 8 bits of
// nudges above 24 bits of grants. Both counts wrap.
static_assert(std::endian::native == std::endian::little, "the futex is the word's low half");

constexpr uint32_t kGrantMask = 0xFFFFFF;
constexpr int32_t kDestroyedValue = INT32_MIN;
constexpr kern_return_t kPending = -1;

int32_t valueOf(uint64_t word)
{
    return int32_t(uint32_t(word >> 32));
}

uint32_t grantsOf(uint64_t word)
{
    return uint32_t(word) & kGrantMask;
}

uint32_t nudgesOf(uint64_t word)
{
    return uint32_t(word) >> 24;
}

uint64_t pack(int32_t value, uint32_t grants, uint32_t nudges)
{
    return uint64_t(uint32_t(value)) << 32 | uint64_t((nudges & 0xFF) << 24) | (grants & kGrantMask);
}

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
    fWord.store(pack(value, 0, 0), std::memory_order_release);
    fAbortedWaits.store(0, std::memory_order_relaxed);
    fGrantsTaken = 0;
    fDestroyed = false;
}

kern_return_t Semaphore::signal()
{
    uint64_t word = fWord.load(std::memory_order_relaxed);
    for (;;) {
        int32_t value = valueOf(word);
        if (value == kDestroyedValue) {
            return KERN_INVALID_ARGUMENT;
        }
        // The count cannot grow past what the word holds; the signal is refused rather than wrap.
        if (value == INT32_MAX) {
            return KERN_FAILURE;
        }
        uint32_t grants = grantsOf(word) + (value < 0 ? 1 : 0);
        if (fWord.compare_exchange_weak(word, pack(value + 1, grants, nudgesOf(word)),
                                        std::memory_order_acq_rel, std::memory_order_relaxed)) {
            if (value < 0) {
                Futex::wake(&fWord, 1);
            }
            return KERN_SUCCESS;
        }
    }
}

kern_return_t Semaphore::wait(uint64_t deadline, bool isTry)
{
    if (takeAbortedWait()) {
        return KERN_ABORTED;
    }
    uint64_t word = fWord.load(std::memory_order_relaxed);
    for (;;) {
        int32_t value = valueOf(word);
        if (value == kDestroyedValue) {
            return KERN_INVALID_ARGUMENT;
        }
        if (value <= 0 && isTry) {
            return KERN_OPERATION_TIMED_OUT;
        }
        if (fWord.compare_exchange_weak(word, pack(value - 1, grantsOf(word), nudgesOf(word)),
                                        std::memory_order_acq_rel, std::memory_order_relaxed)) {
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
    while (self.fResult == kPending) {
        // Read both futex words before deciding, so a change after this point makes the sleep
        // return at once instead of being lost.
        uint64_t word = fWord.load(std::memory_order_acquire);
        uint32_t turn = self.fTurn.load(std::memory_order_acquire);
        bool first = fFirst == &self;
        if (first && ((grantsOf(word) - fGrantsTaken) & kGrantMask) != 0) {
            ++fGrantsTaken;
            self.fResult = KERN_SUCCESS;
            break;
        }
        if (registration && DarwinClock::hostNow() >= deadline) {
            self.fResult = leave();
            break;
        }
        auto real = registration ? registration->realDeadline() : std::nullopt;
        lock.unlock();
        if (first) {
            Futex::wait(&fWord, uint32_t(word), real);
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

kern_return_t Semaphore::leave()
{
    uint64_t word = fWord.load(std::memory_order_relaxed);
    for (;;) {
        int32_t value = valueOf(word);
        if (value == kDestroyedValue) {
            return KERN_TERMINATED;
        }
        // A value of 0 or more means every waiter is covered by a grant, this one too.
        if (value >= 0) {
            ++fGrantsTaken;
            return KERN_SUCCESS;
        }
        if (fWord.compare_exchange_weak(word, pack(value + 1, grantsOf(word), nudgesOf(word)),
                                        std::memory_order_acq_rel, std::memory_order_relaxed)) {
            return KERN_OPERATION_TIMED_OUT;
        }
    }
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
    uint32_t queued = 0;
    for (Waiter* waiter = fFirst; waiter; waiter = waiter->fNext) {
        ++queued;
    }
    if (queued == 0) {
        return KERN_SUCCESS;
    }
    // Released waiters take the grants already handed out; the others stop counting against the
    // value. Nothing is added to the count.
    uint64_t word = fWord.load(std::memory_order_relaxed);
    uint32_t covered;
    for (;;) {
        covered = std::min((grantsOf(word) - fGrantsTaken) & kGrantMask, queued);
        uint64_t next = pack(valueOf(word) + int32_t(queued - covered), grantsOf(word), nudgesOf(word) + 1);
        if (fWord.compare_exchange_weak(word, next, std::memory_order_acq_rel, std::memory_order_relaxed)) {
            break;
        }
    }
    fGrantsTaken += covered;
    while (fFirst) {
        Waiter* waiter = fFirst;
        waiter->fResult = KERN_SUCCESS;
        unlink(*waiter);
        waiter->bumpTurn();
    }
    Futex::wake(&fWord, INT_MAX);
    return KERN_SUCCESS;
}

void Semaphore::destroy()
{
    std::lock_guard lock(fWaitLock);
    fDestroyed = true;
    uint64_t word = fWord.load(std::memory_order_relaxed);
    while (!fWord.compare_exchange_weak(word, pack(kDestroyedValue, grantsOf(word), nudgesOf(word) + 1),
                                        std::memory_order_acq_rel, std::memory_order_relaxed)) {
    }
    while (fFirst) {
        Waiter* waiter = fFirst;
        waiter->fResult = KERN_TERMINATED;
        unlink(*waiter);
        waiter->bumpTurn();
    }
    Futex::wake(&fWord, INT_MAX);
}

void Semaphore::nudge()
{
    uint64_t word = fWord.load(std::memory_order_relaxed);
    while (!fWord.compare_exchange_weak(word, pack(valueOf(word), grantsOf(word), nudgesOf(word) + 1),
                                        std::memory_order_acq_rel, std::memory_order_relaxed)) {
    }
    Futex::wake(&fWord, INT_MAX);
}

void Semaphore::wakeForClock(void* context)
{
    auto* waiter = static_cast<Waiter*>(context);
    waiter->bumpTurn();
    // It may be first in line, asleep on the word.
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
