#include "FrameReadHook.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace KernelIOKitPlatform {

namespace {

std::atomic<bool> gHooked{false};
std::mutex gMutex;
std::shared_ptr<const FrameReadHook> gHook;

} // namespace

void setFrameReadHook(FrameReadHook afterRead)
{
    std::lock_guard lock(gMutex);
    gHook = afterRead ? std::make_shared<const FrameReadHook>(std::move(afterRead)) : nullptr;
    gHooked.store(gHook != nullptr, std::memory_order_release);
}

void frameRead(uint64_t frame, uint64_t time)
{
    if (!gHooked.load(std::memory_order_acquire)) {
        return;
    }
    std::shared_ptr<const FrameReadHook> hook;
    {
        std::lock_guard lock(gMutex);
        hook = gHook;
    }
    // Called without the lock: the hook may run while another thread reads or replaces it.
    if (hook) {
        (*hook)(frame, time);
    }
}

} // namespace KernelIOKitPlatform
