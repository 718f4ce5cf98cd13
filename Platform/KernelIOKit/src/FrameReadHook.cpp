#include "FrameReadHook.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace KernelIOKitPlatform {

namespace {

std::atomic<bool> gHooked{false};
std::mutex gMutex;
std::shared_ptr<const std::function<void()>> gHook;

} // namespace

void setFrameReadHook(std::function<void()> beforeRead)
{
    std::lock_guard lock(gMutex);
    gHook = beforeRead ? std::make_shared<const std::function<void()>>(std::move(beforeRead)) : nullptr;
    gHooked.store(gHook != nullptr, std::memory_order_release);
}

void beforeFrameRead()
{
    if (!gHooked.load(std::memory_order_acquire)) {
        return;
    }
    std::shared_ptr<const std::function<void()>> hook;
    {
        std::lock_guard lock(gMutex);
        hook = gHook;
    }
    // Called without the lock: the hook may run while another thread reads or replaces it.
    if (hook) {
        (*hook)();
    }
}

} // namespace KernelIOKitPlatform
