#pragma once

// Waiting in a test for a state another thread reaches, with a limit that fails the test instead
// of hanging it.

#include <chrono>
#include <thread>

namespace DarwinTesting {

// Far beyond any healthy run, sanitizers and a loaded machine included.
inline constexpr std::chrono::seconds kPollLimit{30};

// Yields until `condition` holds and answers true; answers false once `limit` of real time has
// passed without it. The limit is real time, so the manual clock does not stop it:
// ASSERT_TRUE(eventually(...)).
template <typename Condition>
[[nodiscard]] bool eventually(Condition condition, std::chrono::nanoseconds limit = kPollLimit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return condition();
        }
        std::this_thread::yield();
    }
    return true;
}

} // namespace DarwinTesting
