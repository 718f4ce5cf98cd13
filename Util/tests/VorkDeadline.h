#pragma once

// Tests wait for events, never for time; the deadline only keeps a test whose event never comes from
// hanging: reaching it fails the test.

#include <DarwinTesting/Eventually.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>

namespace VorkTesting {

using DarwinTesting::eventually;

inline std::chrono::steady_clock::time_point eventDeadline()
{
    return std::chrono::steady_clock::now() + DarwinTesting::kPollLimit;
}

// For loops of several threads that wait on each other: each gives up once the work has stalled,
// that is once the count of work done, read through `progress`, has not moved for the poll limit.
// A slow machine (two cores, a sanitizer, other tests beside) only makes such a run longer; a side
// that stops moving still fails it. Once passed, it stays passed, so the verdict after the threads
// have ended sees every thread that gave up.
class StallDeadline
{
public:
    explicit StallDeadline(std::function<uint64_t()> progress) : fProgress(std::move(progress)) {}

    bool passed() const
    {
        if (fPassed.load(std::memory_order_relaxed)) {
            return true;
        }
        const uint64_t progress = fProgress();
        const int64_t now = ticks();
        if (fSeen.exchange(progress, std::memory_order_relaxed) != progress) {
            fMovedAt.store(now, std::memory_order_relaxed);
            return false;
        }
        const auto limit =
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(DarwinTesting::kPollLimit);
        if (now - fMovedAt.load(std::memory_order_relaxed) <= limit.count()) {
            return false;
        }
        fPassed.store(true, std::memory_order_relaxed);
        return true;
    }

private:
    static int64_t ticks() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

    std::function<uint64_t()> fProgress;
    mutable std::atomic<uint64_t> fSeen{0};
    mutable std::atomic<int64_t> fMovedAt{ticks()};
    mutable std::atomic<bool> fPassed{false};
};

} // namespace VorkTesting
