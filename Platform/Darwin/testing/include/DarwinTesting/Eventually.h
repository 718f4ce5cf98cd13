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

// Runs `start` again while it fails, pausing between tries, and answers whether it succeeded within
// `limit` of real time: a client starting a driver's streaming, as an application asks again. A
// driver's first start needs one look at the bus's frame clock that sees a frame boundary within
// 10 us. A virtual machine's host takes the CPU for 10 to 50 us once a millisecond, at a phase that
// wanders over a second or so; while it falls on the simulated bus's frame boundaries, the driver
// misses them on every try of a start and refuses it.
template <typename Start>
[[nodiscard]] bool startedWithin(Start start, std::chrono::nanoseconds limit = std::chrono::seconds(10))
{
    constexpr auto kPause = std::chrono::milliseconds(50);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool started = start();
    while (!started && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kPause);
        started = start();
    }
    return started;
}

} // namespace DarwinTesting
