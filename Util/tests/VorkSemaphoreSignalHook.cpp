#include "VorkSemaphoreSignalHook.h"

#include <mach/semaphore.h>

#include <dlfcn.h>

#include <memory>
#include <utility>

namespace {

using Signal = kern_return_t (*)(semaphore_t);

Signal darwinSignal()
{
    static const Signal sSignal = reinterpret_cast<Signal>(dlsym(RTLD_NEXT, "semaphore_signal"));
    return sSignal;
}

// Resolved when the binary loads at the latest: a signal on a real-time path must not allocate, and
// the lookup might. A plain pointer per thread, for the same reason.
[[maybe_unused]] const Signal sResolvedAtLoad = darwinSignal();
thread_local std::function<void()>* tAfterSignal = nullptr;

} // namespace

namespace VorkTesting {

void afterNextSemaphoreSignal(std::function<void()> action)
{
    delete std::exchange(tAfterSignal, new std::function<void()>(std::move(action)));
}

} // namespace VorkTesting

extern "C" kern_return_t semaphore_signal(semaphore_t semaphore)
{
    const kern_return_t result = darwinSignal()(semaphore);
    if (tAfterSignal) {
        std::unique_ptr<std::function<void()>> action(std::exchange(tAfterSignal, nullptr));
        (*action)();
    }
    return result;
}
