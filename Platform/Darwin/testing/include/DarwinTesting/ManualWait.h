#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace DarwinTesting {

// What a wait on the process clock did under manual time: given `timeout` on a thread of its own,
// it saw the clock advanced to just before its deadline and then onto it.
struct ManualWaitOutcome
{
    uint64_t fDeadline;
    bool fEndedBeforeDeadline;
    bool fEndedAtDeadline;
    // The wait's result, and the host time its thread read as it returned.
    int fResult;
    uint64_t fEndedAt;
};

// Switches the process to manual time for the call. `wait` must register its deadline, now plus
// `timeout`, as the earliest one of the process.
ManualWaitOutcome observeManualWait(const std::function<int(std::chrono::nanoseconds)>& wait,
                                    std::chrono::nanoseconds timeout);

} // namespace DarwinTesting
