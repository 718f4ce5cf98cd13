#include "FrameReadObserver.h"

#include <atomic>

namespace DriverKitPlatform {

namespace {

std::atomic<FrameReadObserver> gObserver{nullptr};
std::atomic<void*> gContext{nullptr};

} // namespace

void setFrameReadObserver(FrameReadObserver observer, void* context)
{
    gObserver.store(nullptr);
    gContext.store(context);
    gObserver.store(observer);
}

void tellFrameRead(uint64_t frame, uint64_t time)
{
    if (FrameReadObserver observer = gObserver.load(std::memory_order_acquire)) {
        observer(gContext.load(), frame, time);
    }
}

} // namespace DriverKitPlatform
