#pragma once

// USB completions travel from the bus's worker to the device's work loop: each transfer has a
// record from its pipe's pool, the bus hands the record here, and the loop thread calls the
// driver's completion with the gate closed. Nothing on the way allocates.

#include <IOKit/IOEventSource.h>
#include <IOKit/usb/IOUSBHostDevice.h>
#include <IOKit/usb/IOUSBHostPipe.h>

#include <SimUSB/HostDevice.h>

#include <mutex>

inline namespace kernel {

struct IOUSBTransfer
{
    IOUSBHostPipe* fPipe = nullptr;
    bool fIsochronous = false;
    IOUSBHostCompletion fCompletion{};
    IOUSBHostIsochronousCompletion fIsochronousCompletion{};
    IOUSBHostIsochronousFrame* fFrames = nullptr;
    IOReturn fStatus = kIOReturnSuccess;
    uint32_t fBytes = 0;
    IOUSBTransfer* fNext = nullptr;
};

class IOUSBCompletionSource : public IOEventSource
{
    OSDeclareDefaultStructors(IOUSBCompletionSource)

        public : static IOUSBCompletionSource* withOwner(OSObject* owner);

    // From the bus's worker.
    void deliver(IOUSBTransfer* transfer);

protected:
    bool checkForWork() override;

private:
    std::mutex fMutex;
    IOUSBTransfer* fFirst = nullptr;
    IOUSBTransfer* fLast = nullptr;
};

} // namespace kernel

namespace KernelIOKitPlatform {

// A pipe of the device's endpoint, retained for the caller.
IOUSBHostPipe* createPipe(IOUSBHostDevice* device, const SimUSB::EndpointInfo& endpoint);

} // namespace KernelIOKitPlatform
