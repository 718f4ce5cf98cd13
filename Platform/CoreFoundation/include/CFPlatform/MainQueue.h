#pragma once

// The seam between the main dispatch queue (Platform/Dispatch) and the main run loop: the main
// queue's blocks run on the process's initial thread while its loop runs in a common mode.

namespace CFPlatform {

// Installed once by the Dispatch layer. `hasWork` answers whether the main queue holds blocks;
// `drain` runs the blocks present when it is called (the main loop calls it once per pass, on the
// main thread, in a common mode) and answers whether it ran any.
struct MainQueueHooks
{
    bool (*hasWork)();
    bool (*drain)();
};

void installMainQueueHooks(MainQueueHooks hooks);

// Called by the Dispatch layer when a block arrives on the main queue: wakes the main loop.
void wakeMainLoopForQueue();

} // namespace CFPlatform
