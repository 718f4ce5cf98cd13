#include "WakeSignal.h"

#include <linux/futex.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

namespace CFPlatform {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the futex word is the atomic itself");

namespace {

// A run loop's timers fire when due, not up to Linux's default slack for timed waits (50 us) late,
// which made a 100 us timer fire some 90 us late instead of some 35. Set once for the thread, the
// first time its loop sleeps until a deadline: the slack belongs to the thread, not to one wait.
void fireTimedWaitsWhenDue()
{
    static thread_local bool tSet = false;
    if (!tSet) {
        tSet = true;
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
}

} // namespace

void WakeSignal::signal()
{
    if (fState.exchange(kSet, std::memory_order_acq_rel) == kSleeping) {
        syscall(SYS_futex, &fState, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0);
    }
}

void WakeSignal::wait(std::optional<std::chrono::steady_clock::time_point> deadline)
{
    uint32_t clear = kClear;
    if (fState.compare_exchange_strong(clear, kSleeping, std::memory_order_acq_rel)) {
        timespec until{};
        if (deadline) {
            fireTimedWaitsWhenDue();
            // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC time, which steady_clock reads.
            auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch());
            int64_t nanoseconds = since.count() < 0 ? 0 : since.count();
            until.tv_sec = time_t(nanoseconds / 1000000000);
            until.tv_nsec = long(nanoseconds % 1000000000);
        }
        // Returns at once unless the word still says a sleeper is blocked.
        syscall(SYS_futex, &fState, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, kSleeping,
                deadline ? &until : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
    }
    // Acquires what the waker published before signalling, the clock's new time included.
    fState.exchange(kClear, std::memory_order_acq_rel);
}

} // namespace CFPlatform
