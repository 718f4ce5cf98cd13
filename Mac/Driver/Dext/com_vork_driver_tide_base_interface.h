#pragma once

// The base of every service of the driver: it owns the device queue on which the service's work and
// its user clients' methods run, maps power states onto Sleep and Wake, and turns completion actions
// into plain callbacks with a context.

#include <DriverKit/IODispatchQueue.h>
#include <DriverKit/IOService.h>
#include <DriverKit/OSAction.h>

// The callbacks a completion action's reference names, with their context.
using AsyncIOCallback = void (*)(IOReturn status, uint32_t actualByteCount, uint64_t completionTimestamp,
                                 void* context);
using AsyncIsochIOCallback = void (*)(IOReturn status, void* context);
using TimerCallback = void (*)(uint64_t time, void* context);

template <typename Callback>
struct CompletionReference
{
    Callback callback;
    void* context;
};
static_assert(sizeof(CompletionReference<AsyncIOCallback>) == 16);

// The queue every completion of a service runs on, once its USB provider installs it.
inline constexpr const char* kUSBWorkQueueName = "VORKUSBWorkQueue";

class com_vork_driver_tide_base_interface : public IOService
{
public:
    bool init() override;
    void free() override;

    kern_return_t Start(IOService* provider) override;
    kern_return_t Stop(IOService* provider) override;
    kern_return_t SetPowerState(uint32_t powerFlags) override;

    virtual void Sleep();
    virtual void Wake();

    IODispatchQueue* getWorkLoop() const;
    bool isSleeping() const;
    void setSleeping(bool sleeping);

    // Actions whose reference holds a CompletionReference of the matching callback.
    kern_return_t CreateActionIOUSBHostPipe_CompleteAsyncIO(size_t referenceSize, OSAction** action);
    kern_return_t CreateActionIOUSBHostPipe_CompleteAsyncIsochIO(size_t referenceSize, OSAction** action);
    kern_return_t CreateActionUSBTimerDispatchSource_TimerOccurred(size_t referenceSize, OSAction** action);

private:
    struct Ivars;
    Ivars* ivars = nullptr;
};
