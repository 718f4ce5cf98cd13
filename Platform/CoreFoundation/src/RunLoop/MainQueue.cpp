#include "MainQueue.h"

#include "RunLoop.h"

#include <atomic>

namespace CFPlatform {

namespace {

MainQueueHooks sHooks;
std::atomic<bool> sInstalled{false};

} // namespace

void installMainQueueHooks(MainQueueHooks hooks)
{
    sHooks = hooks;
    sInstalled.store(true, std::memory_order_release);
}

const MainQueueHooks* installedMainQueueHooks()
{
    return sInstalled.load(std::memory_order_acquire) ? &sHooks : nullptr;
}

void wakeMainLoopForQueue()
{
    RunLoop::main().wakeUp();
}

} // namespace CFPlatform
