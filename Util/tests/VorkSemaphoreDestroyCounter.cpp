#include "VorkSemaphoreDestroyCounter.h"

#include <mach/semaphore.h>

#include <dlfcn.h>

namespace {

thread_local int tDestroys = 0;

} // namespace

namespace VorkTesting {

SemaphoreDestroyCounter::SemaphoreDestroyCounter() : fStart(tDestroys) {}

int SemaphoreDestroyCounter::count() const
{
    return tDestroys - fStart;
}

} // namespace VorkTesting

extern "C" kern_return_t semaphore_destroy(task_t task, semaphore_t semaphore)
{
    using Destroy = kern_return_t (*)(task_t, semaphore_t);
    static const auto sDarwinDestroy = reinterpret_cast<Destroy>(dlsym(RTLD_NEXT, "semaphore_destroy"));
    ++tDestroys;
    return sDarwinDestroy(task, semaphore);
}
