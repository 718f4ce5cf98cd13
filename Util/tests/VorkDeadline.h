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

// For loops of several threads that wait on each other: each gives up once it has passed.
class EventDeadline
{
public:
    bool passed() const { return std::chrono::steady_clock::now() > fAt; }

private:
    std::chrono::steady_clock::time_point fAt = eventDeadline();
};

// Polls `done` until it holds; false if it still does not at the deadline.
template <typename Predicate>
[[nodiscard]] bool eventually(Predicate done)
{
    const EventDeadline deadline;
    while (!done()) {
        if (deadline.passed()) {
            return done();
        }
        std::this_thread::yield();
    }
    return true;
}

} // namespace VorkTesting
