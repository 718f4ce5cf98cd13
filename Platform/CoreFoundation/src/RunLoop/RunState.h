#pragma once

#include "RunLoop.h"

#include <atomic>
#include <vector>

namespace CFPlatform {

// One run of a loop, innermost first. Runs nest when a callout runs its own loop again.
struct RunLoop::RunState
{
    RunState(RunLoopMode* mode, RunState* outer) : fMode(mode), fOuter(outer) {}

    RunLoopMode* fMode;
    RunState* fOuter;
    // The mode's common flag as the current pass began.
    bool fCommon = false;
    std::atomic<bool> fStopped{false};
    // Reused by every pass of the run: what the pass serves, retained while it does.
    std::vector<Source*> fSources;
    std::vector<Timer*> fTimers;

    bool stopped() const { return fStopped.load(std::memory_order_acquire); }
};

} // namespace CFPlatform
