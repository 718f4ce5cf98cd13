#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace CFPlatform {

// The token a sleeping run loop waits for. Setting it takes no lock and makes a system call only
// when the sleeper is blocked. Wakers copy the shared pointer while they hold the loop's lock and
// signal after releasing it: by then the loop may be gone, but the token they hold is not.
class WakeSignal
{
public:
    // Sets the token and wakes the sleeper. From any thread, any number of times; never blocks.
    void signal();
    // signal() as a clock wait's wake callback.
    static void wake(void* self) { static_cast<WakeSignal*>(self)->signal(); }

    // Blocks until the token is set or the real deadline (none: no limit) has passed, then clears
    // it. May return early; the caller re-examines its state. One sleeper at a time.
    void wait(std::optional<std::chrono::steady_clock::time_point> deadline);

private:
    enum State : uint32_t
    {
        kClear,
        kSet,
        kSleeping
    };

    std::atomic<uint32_t> fState{kClear};
};

// Signals the sleeper it was given when it goes out of scope. Declared before a lock guard, it
// signals once that lock has been released, so the woken thread never has to wait for it.
struct WakeAfterUnlock
{
    std::shared_ptr<WakeSignal> fSleeper;

    ~WakeAfterUnlock()
    {
        if (fSleeper) {
            fSleeper->signal();
        }
    }
};

} // namespace CFPlatform
