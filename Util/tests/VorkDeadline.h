#pragma once

// Tests wait for events, never for time; the deadline only keeps a test whose event never comes from
// hanging: reaching it fails the test.

#include <DarwinTesting/Eventually.h>

#include <chrono>

namespace VorkTesting {

using DarwinTesting::eventually;

inline std::chrono::steady_clock::time_point eventDeadline()
{
    return std::chrono::steady_clock::now() + DarwinTesting::kPollLimit;
}

// For loops of several threads that wait on each other: each gives up once it has passed.
class EventDeadline
{
public:
    bool passed() const { return std::chrono::steady_clock::now() > fAt; }

private:
    std::chrono::steady_clock::time_point fAt = eventDeadline();
};

} // namespace VorkTesting
