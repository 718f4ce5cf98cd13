#include "DispatchMain.h"

#include "Fatal.h"
#include "MainThread.h"

#include <CoreFoundation/CFRunLoop.h>
#include <dispatch/dispatch.h>

namespace Dispatch {
namespace {

// Touched on the main thread only: by dispatch_main and by the block endDispatchMain posts.
bool sEndRequested = false;
int sDispatchMainDepth = 0;

} // namespace

void endDispatchMain()
{
    // Delivered as a main-queue block, so the request cannot fall between dispatch_main's check and
    // the start of its run, where a stop would be lost.
    dispatch_async_f(dispatch_get_main_queue(), nullptr, [](void*) {
        sEndRequested = true;
        if (sDispatchMainDepth > 0) {
            CFRunLoopStop(CFRunLoopGetCurrent());
        }
    });
}

} // namespace Dispatch

void dispatch_main()
{
    if (!Dispatch::isMainThread()) {
        Dispatch::fatal("dispatch_main", "called off the main thread; only the main thread may run it");
    }
    ++Dispatch::sDispatchMainDepth;
    while (!Dispatch::sEndRequested) {
        CFRunLoopRun();
    }
    Dispatch::sEndRequested = false;
    --Dispatch::sDispatchMainDepth;
}
