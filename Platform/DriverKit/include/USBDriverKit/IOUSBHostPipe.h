#pragma once

#include <DriverKit/IOMemoryDescriptor.h>
#include <DriverKit/OSAction.h>
#include <USBDriverKit/USBTypes.h>

#include <condition_variable>
#include <mutex>

class IOService;
class IOUSBHostInterface;
class IODispatchQueue;

namespace DriverKitPlatform {
struct PendingIO;
}

// An endpoint of an interface's current alternate.
class IOUSBHostPipe : public OSObject
{
public:
    kern_return_t GetDescriptors(IOUSBStandardEndpointDescriptors* descriptors);
    // An interrupt or bulk transfer; `completion` gets the status, the byte count and the time stamp.
    kern_return_t AsyncIO(IOMemoryDescriptor* dataBuffer, uint32_t dataBufferLength, OSAction* completion,
                          uint32_t completionTimeoutMs);
    // An isochronous transfer over the frame list's length / 24 entries from `firstFrameNumber` on.
    kern_return_t IsochIO(IOMemoryDescriptor* dataBuffer, IOMemoryDescriptor* frameList,
                          uint64_t firstFrameNumber, OSAction* completion);
    // Completes every pending transfer with `withError`. A synchronous abort waits for their
    // completions unless it runs on the queue they are delivered on.
    kern_return_t Abort(IOOptionBits options, IOReturn withError, IOService* forClient);

    void free() override;

    // Platform.
    static IOUSBHostPipe* make(IOUSBHostInterface* interface, uint64_t generation,
                               const IOUSBEndpointDescriptor& descriptor);
    void completed(DriverKitPlatform::PendingIO* pending);

private:
    kern_return_t usable();
    DriverKitPlatform::PendingIO* takePending(OSAction* completion);

    IOUSBHostInterface* fInterface = nullptr;
    uint64_t fGeneration = 0;
    IOUSBEndpointDescriptor fDescriptor{};
    std::mutex fLock;
    std::condition_variable fIdle;
    uint32_t fOutstanding = 0;
    IODispatchQueue* fCompletionQueue = nullptr;
    DriverKitPlatform::PendingIO* fFree = nullptr;
};
