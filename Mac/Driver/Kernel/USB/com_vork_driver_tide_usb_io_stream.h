#pragma once

// The isochronous engine: 20 input and 20 output requests of 160 microframes cycling through the
// two shared rings, each block stamped with its predicted host time, output sized from the input
// that arrived. Frame snapshots taken on a private work loop keep the frame period.

#include "FrameSnapshots.h"
#include "com_vork_driver_tide_provider.h"
#include "com_vork_driver_tide_proxyEventSource.h"

#include <IOKit/IOBufferMemoryDescriptor.h>
#include <IOKit/IOSubMemoryDescriptor.h>
#include <IOKit/usb/IOUSBHostInterface.h>

#include <KorvanDeviceIO.h>

#include <memory>

class com_vork_driver_tide_usb_io_stream : public OSObject
{
    OSDeclareDefaultStructors(com_vork_driver_tide_usb_io_stream)

        public : static constexpr uint32_t kRequests = KorvanDeviceIO::kRequestBlockCount;
    static constexpr uint32_t kFramesPerRequest = KorvanDeviceIO::kPacketsPerBlock;
    static constexpr uint32_t kInitialInputRequests = 8;
    static constexpr uint64_t kFirstInputFrameOffset = 20;
    static constexpr uint64_t kFirstOutputFrameOffset = 340;
    // The frames from an input request to the output request that mirrors it: the first input
    // request only starts the chain, so the first output mirrors the second.
    static constexpr uint64_t kMirrorDistance =
        kFirstOutputFrameOffset - kFirstInputFrameOffset - kFramesPerRequest / 8;

    static com_vork_driver_tide_usb_io_stream* Create(IOWorkLoop* workLoop);

    bool init(IOWorkLoop* workLoop);
    void free() override;

    // Under the bus work loop's gate.
    bool Start(com_vork_driver_tide_provider* provider, IOUSBHostInterface* inInterface,
               IOUSBHostPipe* inPipe, uint32_t inBytesPerFrame, IOUSBHostPipe* outPipe,
               uint32_t outBytesPerFrame);
    void Abort();
    uint64_t FrameToHostTime(uint64_t frame) const;

    // The input (1) or output (2) ring, retained; null for another type.
    IOBufferMemoryDescriptor* GetBuffer(int memoryType);

private:
    using OSObject::init;

    struct Request
    {
        com_vork_driver_tide_usb_io_stream* fStream = nullptr;
        uint32_t fIndex = 0;
        KorvanDeviceIO::USBRequestBlock* fBlock = nullptr;
        IOSubMemoryDescriptor* fData = nullptr;
        IOUSBHostIsochronousFrame fFrames[KorvanDeviceIO::kPacketsPerBlock] = {};
        IOUSBHostIsochronousCompletion fCompletion{};
        // The USB frame an input request was last queued at.
        uint64_t fFirstFrame = 0;
    };

    static void InputCompleted(void* owner, void* parameter, IOReturn status,
                               IOUSBHostIsochronousFrame* frames);
    static void OutputCompleted(void* owner, void* parameter, IOReturn status,
                                IOUSBHostIsochronousFrame* frames);
    static void Requeue(OSObject* owner, IOWorkLoop* workLoop);
    static void TakeSnapshots(OSObject* owner, IOWorkLoop* workLoop);
    static uint64_t ReadFrame(void* interface, AbsoluteTime* time);

    bool InitRing(IOBufferMemoryDescriptor*& buffer, Request* requests, bool input);
    void SubmitNextInRequest();
    // Stamps the input request's block for `firstFrame` and queues it there.
    IOReturn queueInputRequest(Request& request, uint64_t firstFrame);
    void SubmitNextOutRequest(uint32_t inIndex);
    // Only while an input interface is held.
    void TakeSnapshot();
    void ReleaseStreamingObjects();

    IOWorkLoop* fWorkLoop = nullptr;
    IOWorkLoop* fSnapshotWorkLoop = nullptr;
    com_vork_driver_tide_proxyEventSource* fSnapshotSource = nullptr;
    com_vork_driver_tide_proxyEventSource* fRequeueSource = nullptr;
    bool fSnapshotSourceInstalled = false;

    IOBufferMemoryDescriptor* fInBuffer = nullptr;
    IOBufferMemoryDescriptor* fOutBuffer = nullptr;
    Request fIn[kRequests];
    Request fOut[kRequests];

    com_vork_driver_tide_provider* fProvider = nullptr;
    IOUSBHostInterface* fInInterface = nullptr;
    IOUSBHostPipe* fInPipe = nullptr;
    IOUSBHostPipe* fOutPipe = nullptr;
    uint32_t fInBytesPerFrame = 0;
    uint32_t fOutBytesPerFrame = 0;
    uint32_t fInMaxPacket = 0;
    uint32_t fOutMaxPacket = 0;
    uint64_t fNextInFrame = 0;
    uint64_t fNextOutFrame = 0;
    uint64_t fInByteCount = 0;
    uint64_t fOutByteCount = 0;
    uint32_t fInIndex = 0;
    uint32_t fOutIndex = 0;
    uint32_t fLastCompleted = 0;
    uint32_t fLastProcessed = 0;
    bool fSkipFirstInput = false;

    std::unique_ptr<FrameSnapshots> fSnapshots;
};
