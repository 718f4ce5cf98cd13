#pragma once

// Tests wait for events, never for time; the deadline only keeps a test whose event never comes from
// hanging: reaching it fails the test.

#include <chrono>
#include <thread>

namespace VorkTesting {

inline constexpr std::chrono::seconds kEventDeadline{30};

inline std::chrono::steady_clock::time_point eventDeadline()
{
    return std::chrono::steady_clock::now() + kEventDeadline;
}

// Polls `done` until it holds; false if it still does not at the deadline.
template <typename Predicate>
[[nodiscard]] bool eventually(Predicate done)
{
    const auto deadline = eventDeadline();
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return done();
        }
        std::this_thread::yield();
    }
    return true;
}

} // namespace VorkTesting
