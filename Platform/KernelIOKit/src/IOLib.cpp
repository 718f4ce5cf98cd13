#include <IOKit/IOLib.h>

#include <Darwin/Clock.h>

#include <os/log.h>

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

inline namespace kernel {

void IOLog(const char* format, ...)
{
    static const os_log_t kernelLog = os_log_create("kernel", "IOLog");
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    os_log(kernelLog, "%s", line);
}

void IOSleep(unsigned int milliseconds)
{
    const uint64_t deadline =
        DarwinClock::addSaturating(DarwinClock::hostNow(), uint64_t{milliseconds} * 1'000'000);
    std::mutex mutex;
    std::condition_variable never;
    std::unique_lock lock(mutex);
    while (!DarwinClock::waitUntil(lock, never, deadline, "IOSleep")) {
    }
}

void* IOMalloc(size_t size)
{
    return std::malloc(size);
}

void* IOMallocZero(size_t size)
{
    return std::calloc(1, size);
}

void IOFree(void* address, size_t)
{
    std::free(address);
}

} // namespace kernel
