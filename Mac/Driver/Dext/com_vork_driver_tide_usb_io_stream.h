#pragma once

// Moves audio between the device and the two request rings the plug-in maps. Input requests run
// back to back; each completed one schedules an output request whose per-microframe sizes follow the
// frames that arrived, so output is clocked by input. Every block is stamped with its first USB
// frame and the host time predicted for it by a frame clock of snapshots taken on a queue of its own.

#include "com_vork_driver_tide_proxyEventSource.h"

#include <DriverKit/IOBufferMemoryDescriptor.h>
#include <DriverKit/IOTimerDispatchSource.h>
#include <USBDriverKit/IOUSBHostInterface.h>
#include <USBDriverKit/IOUSBHostPipe.h>

#include <KorvanRequestRing.h>

class com_vork_driver_tide_usb_provider;
class com_vork_driver_tide_usb_io_stream;

// One isochronous request over one block of a ring, prepared once and reused.
struct USBIsocRequest
{
    IOMemoryMap* mapping;
    IOMemoryDescriptor* fBufferDescriptor;
    KorvanDeviceIO::USBRequestBlock* block;
    IOMemoryMap* frameListMapping;
    IOBufferMemoryDescriptor* fFrameListDescriptor;
    IOUSBIsochronousFrame* fFrameList;
    OSAction* fCompletion;
    com_vork_driver_tide_usb_io_stream* stream;
    uint32_t index;
};

class com_vork_driver_tide_usb_io_stream : public OSObject
{
public:
    static com_vork_driver_tide_usb_io_stream* CreateStream(com_vork_driver_tide_usb_provider* provider,
                                                            IODispatchQueue* busWorkLoop);

    using OSObject::init;
    bool init(com_vork_driver_tide_usb_provider* provider, IODispatchQueue* busWorkLoop);
    void free() override;

    bool Start(IOUSBHostInterface* inIFace, IOUSBHostPipe* inPipe, uint32_t inBytesPerFrame,
               IOUSBHostPipe* outPipe, uint32_t outBytesPerFrame);
    void Abort();

    IOBufferMemoryDescriptor* GetInBuffer() const;
    IOBufferMemoryDescriptor* GetOutBuffer() const;
    bool setStreamingHeadersEnabled(bool enable, uint8_t version);

    // The running output byte count, which the stall watchdog watches.
    uint64_t outputByteCount() const;
    // The frame clock: the host time predicted for USB frame `frame`, and its period.
    uint64_t predictedHostTime(uint64_t frame) const;
    uint64_t framePeriod() const;

    // Bus queue.
    bool SubmitNextInRequest();
    // Stamps the input request's block for `frameNumber` and queues it there.
    kern_return_t queueInputRequest(USBIsocRequest* request, uint64_t frameNumber);
    bool SubmitNextOutRequest(USBIsocRequest* inReq);
    void sanitizeInputRequest(USBIsocRequest* req);
    static void QueueIsocProc(OSObject* object, IODispatchQueue* queue);
    static void InIsocCompletionProc(IOReturn status, void* context);
    static void OutIsocCompletionProc(IOReturn status, void* context);

    // Frame clock.
    bool SetupFrameSnapshotThread();
    void TearDownFrameSnapshotThread();
    void DoGetFrameSnapshot();
    // Bus queue: the queue the snapshots are taken on while streaming, else null.
    IODispatchQueue* GetFrameSnapshotQueue() const;
    static void GetFrameSnapshotProc(OSObject* object, IODispatchQueue* queue);
    void UpdateFrameTimestamps();

    // Stall watchdog.
    IOReturn setupIsocWatchdog();
    void tearDownIsocWatchdog();
    static void IsocWatchdogTimerFired(uint64_t time, void* context);
    void isocWatchdogTimerCallback(uint64_t time);

private:
    struct Ivars;

    bool initRequest(USBIsocRequest& req, IOBufferMemoryDescriptor* buffer, uint64_t offset, uint64_t options,
                     uint32_t index, void (*callback)(IOReturn, void*));
    static void releaseRequest(USBIsocRequest& req);
    bool startOnBusQueue(IOUSBHostInterface* inIFace, IOUSBHostPipe* inPipe, uint32_t inBytesPerFrame,
                         IOUSBHostPipe* outPipe, uint32_t outBytesPerFrame);
    void completeInput(IOReturn status, USBIsocRequest* request);
    static bool readFrame(void* context, uint64_t* frame, uint64_t* time);

    Ivars* ivars = nullptr;
};
