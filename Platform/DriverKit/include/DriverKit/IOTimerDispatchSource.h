#pragma once

// A one-shot timer on the Platform clock whose handler action runs on the source's queue.

#include <DriverKit/IODispatchQueue.h>
#include <DriverKit/OSAction.h>

#include <mutex>

constexpr uint64_t kIOTimerClockMachAbsoluteTime = 0x00000001;

typedef std::function<void()> IODispatchSourceCancelHandler;

class IOTimerDispatchSource : public OSObject
{
public:
    static kern_return_t Create(IODispatchQueue* queue, IOTimerDispatchSource** source);

    kern_return_t SetHandler(OSAction* action);
    kern_return_t SetEnable(bool enable);
    // Fires once at `deadline` (mach absolute time); a handler arms it again if it wants another.
    kern_return_t WakeAtTime(uint64_t options, uint64_t deadline, uint64_t leeway);
    // Disarms it; `handler` then runs on the queue.
    kern_return_t Cancel(IODispatchSourceCancelHandler handler);

    void free() override;

private:
    void fire(uint64_t generation);

    std::mutex fLock;
    IODispatchQueue* fQueue = nullptr;
    OSAction* fHandler = nullptr;
    bool fEnabled = false;
    bool fCancelled = false;
    uint64_t fAlarm = 0;
    uint64_t fGeneration = 0;
};
