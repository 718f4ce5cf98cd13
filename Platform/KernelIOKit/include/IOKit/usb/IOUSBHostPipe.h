#pragma once

// An endpoint of an interface's current alternate setting. Transfers complete on the device's work
// loop thread with its gate closed.

#include <IOKit/IOMemoryDescriptor.h>
#include <IOKit/usb/StandardUSB.h>

inline namespace kernel {

class IOService;

typedef void (*IOUSBHostCompletionAction)(void* owner, void* parameter, IOReturn status,
                                          uint32_t bytesTransferred);

struct IOUSBHostCompletion
{
    void* owner;
    IOUSBHostCompletionAction action;
    void* parameter;
};

// One microframe of an isochronous transfer.
struct IOUSBHostIsochronousFrame
{
    IOReturn status;
    uint32_t requestCount;
    uint32_t completeCount;
    uint32_t reserved;
    AbsoluteTime timeStamp;
};
static_assert(sizeof(IOUSBHostIsochronousFrame) == 24);

typedef void (*IOUSBHostIsochronousCompletionAction)(void* owner, void* parameter, IOReturn status,
                                                     IOUSBHostIsochronousFrame* frameList);

struct IOUSBHostIsochronousCompletion
{
    void* owner;
    IOUSBHostIsochronousCompletionAction action;
    void* parameter;
};

struct IOUSBHostPipeState;

class IOUSBHostPipe : public OSObject
{
    OSDeclareDefaultStructors(IOUSBHostPipe)

        public : const StandardUSB::EndpointDescriptor* getEndpointDescriptor() const;

    // An interrupt or bulk transfer of `length` bytes of the buffer; 0 timeout waits without limit.
    IOReturn io(IOMemoryDescriptor* buffer, uint32_t length, IOUSBHostCompletion* completion,
                uint32_t completionTimeoutMs = 0);
    // An isochronous transfer: entry i of the frame list in microframe 8 x firstFrame + i, its packet
    // after the earlier entries' request counts in the buffer. Too old, too new or oversize is
    // refused at once and nothing is queued.
    IOReturn io(IOMemoryDescriptor* buffer, IOUSBHostIsochronousFrame* frameList, uint32_t frameListCount,
                uint64_t firstFrameNumber, IOUSBHostIsochronousCompletion* completion);
    // Pending transfers complete with `withError`. Waits for their completions unless called with
    // the device's gate held (from a completion, say).
    IOReturn abort(IOOptionBits options = 0, IOReturn withError = kIOReturnAborted,
                   IOService* forClient = nullptr);

    void free() override;

private:
    friend struct IOUSBHostAccess;
    IOUSBHostPipeState* fPipeState = nullptr;
};

} // namespace kernel
