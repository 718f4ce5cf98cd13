// The main queue, drained by the main run loop through the hooks installed in CoreFoundation.

#include "Queue.h"

#include <CFPlatform/MainQueue.h>
#include <dispatch/dispatch.h>

namespace {

bool mainQueueHasWork()
{
    return dispatch_get_main_queue()->hasWork();
}

bool drainMainQueue()
{
    return dispatch_get_main_queue()->drainPresent();
}

// Installed while the library loads, before any block can reach the main queue.
struct MainQueueHooksInstaller
{
    MainQueueHooksInstaller() { CFPlatform::installMainQueueHooks({&mainQueueHasWork, &drainMainQueue}); }
} sMainQueueHooksInstaller;

} // namespace

dispatch_queue_t dispatch_get_main_queue()
{
    // Never destroyed: the main loop may drain it while the process exits.
    static dispatch_queue_t sMainQueue = new dispatch_queue_s("main", true);
    return sMainQueue;
}
