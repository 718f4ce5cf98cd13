#include "Futex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

namespace Darwin::Futex {

void wait(const void* word, uint32_t expected, std::optional<std::chrono::steady_clock::time_point> deadline)
{
    timespec until{};
    timespec* timeout = nullptr;
    if (deadline) {
        // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC time, which is what steady_clock reads.
        auto since =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
        if (since < 0) {
            since = 0;
        }
        until.tv_sec = time_t(since / 1000000000);
        until.tv_nsec = long(since % 1000000000);
        timeout = &until;
    }
    syscall(SYS_futex, word, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected, timeout, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

void wake(const void* word, int count)
{
    syscall(SYS_futex, word, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, count, nullptr, nullptr, 0);
}

} // namespace Darwin::Futex
