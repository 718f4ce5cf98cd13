#include "com_vork_driver_tide_usb_io_stream.h"

#include "DextReport.h"
#include "com_vork_driver_tide_control_interface.h"
#include "com_vork_driver_tide_usb_provider.h"
#include "with_gate_closed.h"

#include <DriverKit/OSMetaClass.h>
#include <atomic>
#include <cstring>
#include <mach/mach_time.h>
#include <thread>

OSDefineMetaClassAndStructors(com_vork_driver_tide_usb_io_stream, OSObject);

using namespace KorvanDeviceIO;

namespace {

constexpr uint32_t kRequests = kRequestBlockCount;
constexpr uint32_t kFramesPerRequest = kPacketsPerBlock / 8;
constexpr uint64_t kNominalFramePeriod = 1'000'000;
constexpr uint32_t kPeriodSamples = 10;
constexpr uint32_t kFirstInputLead = 20;
constexpr uint32_t kOutputLead = 320;
constexpr uint32_t kInitialInputRequests = 4;
constexpr uint32_t kSnapshotTries = 10;
constexpr uint64_t kSnapshotPollLimit = 3'000'000;
constexpr uint64_t kSnapshotBracket = 10'001;
constexpr short kSnapshotSlots = 3;
constexpr uint64_t kWatchdogPeriod = 2'000'000'000;
constexpr uint64_t kFrameListBytes = kPacketsPerBlock * sizeof(IOUSBIsochronousFrame);
constexpr uint64_t kHeaderAreaBytes = offsetof(USBRequestBlock, fBuffer);
constexpr uint32_t kHeaderBytes = kIsocPacketHeaderBytes;
constexpr uint64_t kPluginCaughtUpMicroframes = kPacketsPerBlock - 1;
constexpr int kTeardownSpins = 10'000;

constexpr IOReturn kIOReturnUnderrunStatus = static_cast<IOReturn>(0xE00002E7);
constexpr IOReturn kIOReturnNotRespondingStatus = static_cast<IOReturn>(0xE00002ED);
constexpr IOReturn kIOUSBLowLatencyFrameListStatus = static_cast<IOReturn>(0xE000400E);

struct FrameSnapshot
{
    uint64_t frame;
    uint64_t hostTime;
};
static_assert(sizeof(FrameSnapshot) == 16);

// The driver's chaser reports nothing; it still needs a logger to report to.
NoOpLogThread gNoLog;

bool acceptedInputStatus(IOReturn status)
{
    return status == kIOReturnSuccess || status == kIOReturnUnderrunStatus ||
           status == kIOReturnNotRespondingStatus || status == kIOUSBLowLatencyFrameListStatus;
}

} // namespace

struct com_vork_driver_tide_usb_io_stream::Ivars
{
    com_vork_driver_tide_usb_provider* fProvider = nullptr;
    IOBufferMemoryDescriptor* fInBuffer = nullptr;
    IOBufferMemoryDescriptor* fOutBuffer = nullptr;
    USBIsocRequest fInRequests[kRequests] = {};
    USBIsocRequest fOutRequests[kRequests] = {};
    IODispatchQueue* fBusWorkLoop = nullptr;
    com_vork_driver_tide_proxyEventSource* fQueueSource = nullptr;
    IOUSBHostInterface* fInInterface = nullptr;
    IOUSBHostPipe* fInPipe = nullptr;
    IOUSBHostPipe* fOutPipe = nullptr;
    uint32_t inMaxPacketSize = 0;
    uint32_t outMaxPacketSize = 0;
    uint32_t inBytesPerFrame = 0;
    uint32_t outBytesPerFrame = 0;
    uint32_t nextInIndex = 0;
    uint32_t nextOutIndex = 0;
    uint64_t nextInFrame = 0;
    uint64_t nextOutFrame = 0;
    uint64_t inByteCount = 0;
    std::atomic<uint64_t> outByteCount{0};
    bool skipFirstInput = false;
    USBIsocRequest* lastCompleted = nullptr;
    USBIsocRequest* lastQueued = nullptr;
    bool headersEnabled = false;
    uint8_t headersVersion = 0;
    std::atomic<bool> abortRequested{false};

    // Frame clock: the applied snapshot and period belong to the bus queue, the latest accepted
    // snapshot to the snapshot taker.
    uint64_t snapshotFrame = 0;
    uint64_t snapshotHostTime = 0;
    uint64_t latestFrame = 0;
    uint64_t latestHostTime = 0;
    uint64_t framePeriod = kNominalFramePeriod;
    uint64_t periodSamples[kPeriodSamples] = {};
    uint32_t sampleIndex = 0;
    CircularBuffer* snapshotBuffer = nullptr;
    IODispatchQueue* snapshotQueue = nullptr;
    com_vork_driver_tide_proxyEventSource* snapshotSource = nullptr;

    IOTimerDispatchSource* fIsocWatchdogTimer = nullptr;
    OSAction* fIsocWatchdogAction = nullptr;
    uint64_t watchdogLastCount = 0;
    uint64_t watchdogNextWake = 0;
};

com_vork_driver_tide_usb_io_stream*
com_vork_driver_tide_usb_io_stream::CreateStream(com_vork_driver_tide_usb_provider* provider,
                                                 IODispatchQueue* busWorkLoop)
{
    if (busWorkLoop == nullptr) {
        return nullptr;
    }
    auto* stream = new com_vork_driver_tide_usb_io_stream;
    if (!stream->init(provider, busWorkLoop)) {
        stream->release();
        return nullptr;
    }
    return stream;
}

bool com_vork_driver_tide_usb_io_stream::init(com_vork_driver_tide_usb_provider* provider,
                                              IODispatchQueue* busWorkLoop)
{
    if (!OSObject::init()) {
        return false;
    }
    ivars = new Ivars;
    if (provider == nullptr || busWorkLoop == nullptr) {
        DextLog("provider or busWorkLoop is NULL");
        return false;
    }
    ivars->fProvider = provider;
    busWorkLoop->retain();
    ivars->fBusWorkLoop = busWorkLoop;
    for (uint64_t& sample : ivars->periodSamples) {
        sample = kNominalFramePeriod;
    }
    ivars->fQueueSource =
        com_vork_driver_tide_proxyEventSource::proxyEventSource(this, QueueIsocProc, busWorkLoop);
    if (ivars->fQueueSource == nullptr) {
        return false;
    }
    struct RingBuffer
    {
        IOBufferMemoryDescriptor** slot;
        uint64_t options;
        const char* name;
    };
    for (const RingBuffer& ring :
         {RingBuffer{&ivars->fInBuffer, kIOMemoryDirectionInOut, "(ivars->fInBuffer)"},
          RingBuffer{&ivars->fOutBuffer, kIOMemoryDirectionOut, "(ivars->fOutBuffer)"}}) {
        if (IOBufferMemoryDescriptor::Create(ring.options, kRequestRingSizeBytes, 0, ring.slot) !=
            kIOReturnSuccess) {
            DextLog("IOBufferMemoryDescriptor::Create failed for %s", ring.name);
            return false;
        }
        if ((*ring.slot)->SetLength(kRequestRingSizeBytes) != kIOReturnSuccess) {
            DextLog("IOBufferMemoryDescriptor::SetLength failed for %s", ring.name);
            return false;
        }
    }
    for (uint32_t i = 0; i < kRequests; ++i) {
        if (!initRequest(ivars->fInRequests[i], ivars->fInBuffer, RequestBlockOffset(i),
                         kIOMemoryDirectionInOut, i, InIsocCompletionProc) ||
            !initRequest(ivars->fOutRequests[i], ivars->fOutBuffer, RequestBlockOffset(i),
                         kIOMemoryDirectionOut, i, OutIsocCompletionProc)) {
            return false;
        }
    }
    ivars->snapshotBuffer = new CircularBuffer(sizeof(FrameSnapshot), kSnapshotSlots);
    return true;
}

bool com_vork_driver_tide_usb_io_stream::initRequest(USBIsocRequest& req, IOBufferMemoryDescriptor* buffer,
                                                     uint64_t offset, uint64_t options, uint32_t index,
                                                     void (*callback)(IOReturn, void*))
{
    DextLog("USBIsocRequest::Init from buffer\n");
    if (ivars->fProvider == nullptr) {
        ReportBooleanError("provider");
        return false;
    }
    com_vork_driver_tide_control_interface* dev = ivars->fProvider->getUAC_service();
    if (dev == nullptr) {
        ReportBooleanError("dev");
        return false;
    }
    if (callback == nullptr || buffer == nullptr) {
        ReportBooleanError("iostream and callback and buffer");
        return false;
    }
    releaseRequest(req);
    req = USBIsocRequest{};
    req.stream = this;
    req.index = index;
    if (buffer->CreateMapping(0, 0, 0, 0, 0, &req.mapping) != kIOReturnSuccess || req.mapping == nullptr) {
        return false;
    }
    req.block = reinterpret_cast<USBRequestBlock*>(req.mapping->GetAddress() + offset);
    std::memset(static_cast<void*>(req.block), 0, kRequestBlockSizeBytes);
    if (IOMemoryDescriptor::CreateSubMemoryDescriptor(options, offset + kHeaderAreaBytes,
                                                      kRequestDataSizeBytes, buffer,
                                                      &req.fBufferDescriptor) != kIOReturnSuccess) {
        return false;
    }
    if (IOBufferMemoryDescriptor::Create(kIOMemoryDirectionInOut, kFrameListBytes, 0,
                                         &req.fFrameListDescriptor) != kIOReturnSuccess ||
        req.fFrameListDescriptor->CreateMapping(0, 0, 0, 0, 0, &req.frameListMapping) != kIOReturnSuccess) {
        return false;
    }
    req.fFrameList = reinterpret_cast<IOUSBIsochronousFrame*>(req.frameListMapping->GetAddress());
    if (req.fFrameList == nullptr) {
        ReportBooleanError("req.fFrameList");
        return false;
    }
    std::memset(req.fFrameList, 0, kFrameListBytes);
    const kern_return_t ret = dev->CreateActionIOUSBHostPipe_CompleteAsyncIsochIO(
        sizeof(CompletionReference<AsyncIsochIOCallback>), &req.fCompletion);
    if (ret != kIOReturnSuccess) {
        ReportError(
            ret,
            "dev->CreateActionIOUSBHostPipe_CompleteAsyncIsochIO(sizeof(IOUSBHostPipe_CompleteAsyncIsochIO_"
            "Vars), &req.fCompletion)");
        return false;
    }
    *static_cast<CompletionReference<AsyncIsochIOCallback>*>(req.fCompletion->GetReference()) = {callback,
                                                                                                 &req};
    return true;
}

void com_vork_driver_tide_usb_io_stream::releaseRequest(USBIsocRequest& req)
{
    OSSafeReleaseNULL(req.fCompletion);
    OSSafeReleaseNULL(req.frameListMapping);
    OSSafeReleaseNULL(req.fFrameListDescriptor);
    OSSafeReleaseNULL(req.fBufferDescriptor);
    OSSafeReleaseNULL(req.mapping);
    req.block = nullptr;
    req.fFrameList = nullptr;
}

void com_vork_driver_tide_usb_io_stream::free()
{
    if (ivars != nullptr) {
        TearDownFrameSnapshotThread();
        delete ivars->snapshotBuffer;
        OSSafeReleaseNULL(ivars->fQueueSource);
        OSSafeReleaseNULL(ivars->fInPipe);
        OSSafeReleaseNULL(ivars->fOutPipe);
        for (uint32_t i = 0; i < kRequests; ++i) {
            releaseRequest(ivars->fInRequests[i]);
            releaseRequest(ivars->fOutRequests[i]);
        }
        OSSafeReleaseNULL(ivars->fInBuffer);
        OSSafeReleaseNULL(ivars->fOutBuffer);
        OSSafeReleaseNULL(ivars->fBusWorkLoop);
        delete ivars;
        ivars = nullptr;
    }
    OSObject::free();
}

IOBufferMemoryDescriptor* com_vork_driver_tide_usb_io_stream::GetInBuffer() const
{
    return ivars->fInBuffer;
}

IOBufferMemoryDescriptor* com_vork_driver_tide_usb_io_stream::GetOutBuffer() const
{
    return ivars->fOutBuffer;
}

bool com_vork_driver_tide_usb_io_stream::setStreamingHeadersEnabled(bool enable, uint8_t version)
{
    if (ivars == nullptr) {
        ReportBooleanError("ivars");
        return false;
    }
    ivars->headersEnabled = enable;
    ivars->headersVersion = version;
    return true;
}

uint64_t com_vork_driver_tide_usb_io_stream::outputByteCount() const
{
    return ivars->outByteCount.load(std::memory_order_relaxed);
}

uint64_t com_vork_driver_tide_usb_io_stream::predictedHostTime(uint64_t frame) const
{
    return (frame - ivars->snapshotFrame) * ivars->framePeriod + ivars->snapshotHostTime;
}

uint64_t com_vork_driver_tide_usb_io_stream::framePeriod() const
{
    return ivars->framePeriod;
}

bool com_vork_driver_tide_usb_io_stream::Start(IOUSBHostInterface* inIFace, IOUSBHostPipe* inPipe,
                                               uint32_t inBytesPerFrame, IOUSBHostPipe* outPipe,
                                               uint32_t outBytesPerFrame)
{
    struct Check
    {
        bool holds;
        const char* text;
    };
    for (const Check& check :
         {Check{ivars->fInInterface == nullptr, "ivars->fInInterface == __null"},
          Check{ivars->fInPipe == nullptr, "ivars->fInPipe == __null"},
          Check{ivars->fOutPipe == nullptr, "ivars->fOutPipe == __null"},
          Check{ivars->fBusWorkLoop != nullptr, "ivars->fBusWorkLoop"},
          Check{ivars->fProvider != nullptr, "ivars->fProvider"}, Check{inIFace != nullptr, "inIFace"},
          Check{inPipe != nullptr, "inPipe"}, Check{outPipe != nullptr, "outPipe"}}) {
        if (!check.holds) {
            ReportBooleanError(check.text);
            return false;
        }
    }
    bool started = false;
    with_gate_closed(ivars->fBusWorkLoop, [&] {
        started = startOnBusQueue(inIFace, inPipe, inBytesPerFrame, outPipe, outBytesPerFrame);
    });
    return started;
}

bool com_vork_driver_tide_usb_io_stream::startOnBusQueue(IOUSBHostInterface* inIFace, IOUSBHostPipe* inPipe,
                                                         uint32_t inBytesPerFrame, IOUSBHostPipe* outPipe,
                                                         uint32_t outBytesPerFrame)
{
    IOUSBStandardEndpointDescriptors inDescriptors{};
    IOUSBStandardEndpointDescriptors outDescriptors{};
    kern_return_t ret = inPipe->GetDescriptors(&inDescriptors);
    if (ret == kIOReturnSuccess) {
        ret = outPipe->GetDescriptors(&outDescriptors);
    }
    if (ret != kIOReturnSuccess) {
        DextLog("IOUSBHostPipe::GetDescriptors failed with %d\n", ret);
        return false;
    }
    ivars->inMaxPacketSize = IOUSBGetEndpointMaxPacketSize(&inDescriptors.descriptor);
    ivars->outMaxPacketSize = IOUSBGetEndpointMaxPacketSize(&outDescriptors.descriptor);
    DextLog("Start USBIsocIOStream in maxPacketSize %u\n", ivars->inMaxPacketSize);

    ivars->inBytesPerFrame = inBytesPerFrame;
    ivars->outBytesPerFrame = outBytesPerFrame;
    ivars->fInInterface = inIFace;
    inPipe->retain();
    ivars->fInPipe = inPipe;
    outPipe->retain();
    ivars->fOutPipe = outPipe;
    ivars->inByteCount = 0;
    ivars->outByteCount.store(0, std::memory_order_relaxed);
    ivars->nextInIndex = 0;
    ivars->nextOutIndex = 0;

    setupIsocWatchdog();

    ivars->skipFirstInput = true;
    for (uint32_t i = 0; i < kRequests; ++i) {
        USBRequestBlock* in = ivars->fInRequests[i].block;
        RingDetail::store(in->fHostTime, 0, std::memory_order_release);
        RingDetail::store(ivars->fOutRequests[i].block->fHostTime, 0, std::memory_order_release);
        // A run never compares packets against the headers of the run before.
        std::memset(&in->fChase[size_t(Driver::Dext)], 0, sizeof(ChaseRecord));
    }

    SetupFrameSnapshotThread();
    DoGetFrameSnapshot();
    UpdateFrameTimestamps();

    if (ivars->snapshotFrame == 0 && ivars->snapshotHostTime == 0) {
        DextLog("failed to read frame snapshot");
        return false;
    }
    uint64_t frame = 0;
    ivars->nextInFrame = inIFace->GetFrameNumber(&frame, nullptr) == kIOReturnSuccess
                             ? frame + kFirstInputLead
                             : kFirstInputLead - 1;
    ivars->nextOutFrame = ivars->nextInFrame + kOutputLead;
    DextLog("first in req %llu (%llu), first out req %llu (%llu)\n",
            static_cast<unsigned long long>(ivars->nextInFrame),
            static_cast<unsigned long long>(predictedHostTime(ivars->nextInFrame)),
            static_cast<unsigned long long>(ivars->nextOutFrame),
            static_cast<unsigned long long>(predictedHostTime(ivars->nextOutFrame)));
    for (uint32_t i = 0; i < kInitialInputRequests; ++i) {
        SubmitNextInRequest();
    }
    return true;
}

void com_vork_driver_tide_usb_io_stream::Abort()
{
    if (ivars->fBusWorkLoop == nullptr) {
        return;
    }
    ivars->abortRequested.store(true);
    with_gate_closed(ivars->fBusWorkLoop, [&] {
        TearDownFrameSnapshotThread();
        tearDownIsocWatchdog();
        IOService* client = ivars->fProvider->getUAC_service();
        if (ivars->fInPipe != nullptr) {
            const kern_return_t ret = ivars->fInPipe->Abort(kIOUSBAbortSynchronous, kIOReturnAborted, client);
            if (ret != kIOReturnSuccess) {
                ReportError(ret, "ivars->fInPipe->Abort(kIOUSBAbortSynchronous, kIOReturnAborted, "
                                 "ivars->fProvider->getUAC_service())");
            }
            OSSafeReleaseNULL(ivars->fInPipe);
        }
        if (ivars->fOutPipe != nullptr) {
            const kern_return_t ret =
                ivars->fOutPipe->Abort(kIOUSBAbortSynchronous, kIOReturnAborted, client);
            if (ret != kIOReturnSuccess) {
                ReportError(ret, "ivars->fOutPipe->Abort(kIOUSBAbortSynchronous, kIOReturnAborted, "
                                 "ivars->fProvider->getUAC_service())");
            }
            OSSafeReleaseNULL(ivars->fOutPipe);
        }
        ivars->fInInterface = nullptr;
        ivars->abortRequested.store(false);
    });
    DextLog("<-USBIsocIOStream::Abort\n");
}

bool com_vork_driver_tide_usb_io_stream::SubmitNextInRequest()
{
    if (ivars->fBusWorkLoop == nullptr) {
        ReportBooleanError("ivars->fBusWorkLoop");
        return false;
    }
    if (ivars->nextInIndex >= kRequests) {
        DextLog("OH NO, bad index\n");
        return false;
    }
    if (ivars->fInPipe == nullptr) {
        return false;
    }
    USBIsocRequest* request = &ivars->fInRequests[ivars->nextInIndex];
    ivars->nextInIndex = (ivars->nextInIndex + 1) % kRequests;
    for (uint32_t i = 0; i < kPacketsPerBlock; ++i) {
        request->fFrameList[i].status = kIOReturnSuccess;
        request->fFrameList[i].requestCount = ivars->inMaxPacketSize;
        request->fFrameList[i].completeCount = 0;
    }
    const uint64_t frameNumber = ivars->nextInFrame;
    WriteBlockHeader(*request->block, BlockHeader{predictedHostTime(frameNumber), frameNumber * 8, 0, 0});
    ivars->nextInFrame += kFramesPerRequest;
    const kern_return_t result = ivars->fInPipe->IsochIO(
        request->fBufferDescriptor, request->fFrameListDescriptor, frameNumber, request->fCompletion);
    if (result != kIOReturnSuccess) {
        ReportError(result, "result = ivars->fInPipe->IsochIO(request->fBufferDescriptor, "
                            "request->fFrameListDescriptor, frameNumber, request->fCompletion)");
        DextLog("fIsocInPipe->Read returned %08X\n", result);
        return false;
    }
    return true;
}

void com_vork_driver_tide_usb_io_stream::InIsocCompletionProc(IOReturn status, void* context)
{
    if (status == kIOReturnAborted) {
        return;
    }
    auto* request = static_cast<USBIsocRequest*>(context);
    com_vork_driver_tide_usb_io_stream* stream = request->stream;
    OSSharedPtr<com_vork_driver_tide_usb_io_stream> held(stream, OSRetain);
    with_gate_closed(stream->ivars->fBusWorkLoop, [&] { stream->completeInput(status, request); });
}

void com_vork_driver_tide_usb_io_stream::completeInput(IOReturn status, USBIsocRequest* request)
{
    if (!acceptedInputStatus(status) || ivars->fInPipe == nullptr) {
        DextLog("USB IN ERR %08x\n", status);
        return;
    }
    if (status != kIOReturnSuccess && status != kIOReturnUnderrunStatus) {
        DextLog("USB IN ERR %08x\n", status);
    }
    if (ivars->skipFirstInput) {
        DextLog("skipping first in request %08X\n", status);
        ivars->lastCompleted = request;
        ivars->lastQueued = request;
        ivars->skipFirstInput = false;
        return;
    }
    ivars->lastCompleted = request;
    ivars->fQueueSource->signalWorkAvailable();
}

void com_vork_driver_tide_usb_io_stream::OutIsocCompletionProc(IOReturn, void*) {}

void com_vork_driver_tide_usb_io_stream::QueueIsocProc(OSObject* object, IODispatchQueue*)
{
    auto* stream = static_cast<com_vork_driver_tide_usb_io_stream*>(object);
    Ivars* ivars = stream->ivars;
    while (ivars->fInPipe != nullptr && ivars->lastQueued != ivars->lastCompleted) {
        ivars->lastQueued = &ivars->fInRequests[(ivars->lastQueued->index + 1) % kRequests];
        stream->SubmitNextOutRequest(ivars->lastQueued);
        stream->SubmitNextInRequest();
    }
}

bool com_vork_driver_tide_usb_io_stream::SubmitNextOutRequest(USBIsocRequest* inReq)
{
    if (ivars->fBusWorkLoop == nullptr) {
        ReportBooleanError("ivars->fBusWorkLoop");
        return false;
    }
    if (ivars->fOutPipe == nullptr) {
        ReportBooleanError("ivars->fOutPipe");
        return false;
    }
    if (inReq == nullptr) {
        ReportBooleanError("inReq");
        return false;
    }
    sanitizeInputRequest(inReq);

    const uint32_t outIndex = ivars->nextOutIndex;
    USBIsocRequest* request = &ivars->fOutRequests[outIndex];
    std::memset(request->block->fBuffer, 0, kRequestDataSizeBytes);

    const uint64_t inStart = ivars->inByteCount;
    const uint64_t outStart = ivars->outByteCount.load(std::memory_order_relaxed);
    uint64_t outCount = outStart;
    uint64_t blockBytes = 0;
    bool capped = false;
    for (uint32_t i = 0; i < kPacketsPerBlock; ++i) {
        const uint32_t completeCount = inReq->fFrameList[i].completeCount;
        uint32_t frames;
        if (ivars->headersEnabled) {
            // The streaming header is not a frame.
            frames =
                completeCount >= kHeaderBytes ? (completeCount - kHeaderBytes) / ivars->inBytesPerFrame : 0;
        } else {
            frames = completeCount / ivars->inBytesPerFrame;
        }
        ivars->inByteCount += uint64_t(frames) * ivars->inBytesPerFrame;
        uint64_t requestCount = uint64_t(frames) * ivars->outBytesPerFrame;
        // The controller takes no more than the endpoint carries, nor more than the block holds.
        if (requestCount > ivars->outMaxPacketSize) {
            requestCount = ivars->outMaxPacketSize;
            capped = true;
        }
        if (blockBytes + requestCount > kRequestDataSizeBytes) {
            requestCount = kRequestDataSizeBytes - blockBytes;
            capped = true;
        }
        blockBytes += requestCount;
        IOUSBIsochronousFrame& entry = request->fFrameList[i];
        entry.status = kIOReturnSuccess;
        entry.completeCount = 0;
        entry.requestCount = static_cast<uint32_t>(requestCount);
        outCount += requestCount;
        if (requestCount == 0) {
            DextLog("!!! Isoc out request %d[%d] request count is 0!", outIndex, i);
        }
    }
    if (capped) {
        DextLog("Isoc out request %d capped to the output max packet size %u and the block size", outIndex,
                ivars->outMaxPacketSize);
    }
    ivars->outByteCount.store(outCount, std::memory_order_relaxed);
    BlockHeader inHeader = ReadBlockHeader(*inReq->block);
    inHeader.fStartByteCount = inStart;
    inHeader.fEndByteCount = ivars->inByteCount;
    WriteBlockHeader(*inReq->block, inHeader);

    UpdateFrameTimestamps();
    if (ivars->snapshotSource != nullptr) {
        ivars->snapshotSource->signalWorkAvailable();
    }

    const uint64_t frameNumber = ivars->nextOutFrame;
    WriteBlockHeader(*request->block,
                     BlockHeader{predictedHostTime(frameNumber), frameNumber * 8, outStart, outCount});
    ivars->nextOutFrame += kFramesPerRequest;
    ivars->nextOutIndex = (ivars->nextOutIndex + 1) % kRequests;
    const kern_return_t result = ivars->fOutPipe->IsochIO(
        request->fBufferDescriptor, request->fFrameListDescriptor, frameNumber, request->fCompletion);
    if (result != kIOReturnSuccess) {
        ReportError(result, "result = ivars->fOutPipe->IsochIO(request->fBufferDescriptor, "
                            "request->fFrameListDescriptor, frameNumber, request->fCompletion)");
        DextLog("fIsocOutPipe->Write returned %08X\n", result);
        return false;
    }
    return true;
}

USBRequestIter com_vork_driver_tide_usb_io_stream::iterFor(USBIsocRequest* req, uint32_t packet) const
{
    USBRequestIter it;
    it.fRingBase = ivars->fInRequests[0].block;
    it.fBlock = req->block;
    it.fPacketIndex = packet;
    it.fPacketStride = ivars->inMaxPacketSize;
    return it;
}

void com_vork_driver_tide_usb_io_stream::recordPacket(const USBRequestIter& it, uint32_t length)
{
    StorePacketLength(it, Driver::Dext, length);
    ConsumePacket(it, Driver::Dext, true);
}

void com_vork_driver_tide_usb_io_stream::sanitizeInputRequest(USBIsocRequest* req)
{
    if (!ivars->headersEnabled) {
        return;
    }
    if (req == nullptr) {
        ReportBooleanError("req");
        return;
    }
    USBRequestBlock& block = *req->block;
    const uint64_t blockMicroframe = RingDetail::load(block.fMicroframe, std::memory_order_relaxed);
    auto takeLengths = [&](const ChaseRecord& record) {
        for (uint32_t i = 0; i < kPacketsPerBlock; ++i) {
            const uint32_t length = LoadPacketLength(record, i);
            uint32_t& completeCount = req->fFrameList[i].completeCount;
            if (length != 0 && length != completeCount) {
                DextLog("Mismatch between packet length reported from OS and packet length inferred during "
                        "chase: "
                        "request: %p, index: %lu (%u vs %u)\n",
                        static_cast<void*>(req), static_cast<unsigned long>(i), completeCount, length);
                completeCount = length < ivars->inMaxPacketSize ? length : ivars->inMaxPacketSize;
            }
        }
    };
    const ChasePosition plugin = ReadChasePosition(block.fChase[size_t(Driver::CoreAudio)]);
    if (plugin.fMicroframe >= blockMicroframe + kPluginCaughtUpMicroframes) {
        takeLengths(block.fChase[size_t(Driver::CoreAudio)]);
        return;
    }

    const InputChaser chaser(ivars->inMaxPacketSize, ivars->inBytesPerFrame, true, ivars->headersVersion,
                             &gNoLog);
    USBRequestIter it = iterFor(req, 0);
    int count = 0;
    bool retried = false;
    bool gaveUp = false;
    while (it.fBlock == req->block) {
        const USBRequestIter next = it.next();
        if (IsPacketFresh(next, Driver::Dext, true)) {
            const IsocPacketHeader header = ReadPacketHeader(it.packet());
            recordPacket(it,
                         uint32_t(header.numSampleFramesThisPacket) * ivars->inBytesPerFrame + kHeaderBytes);
            ++count;
            it = next;
            continue;
        }
        USBRequestIter found;
        int chased = 0;
        if (MaybeHandleDroppedIsoc(chaser, it, next, &found, int(kPacketsPerBlock) - count, &chased)) {
            count += chased;
            it = found;
            continue;
        }
        // The last packet waits for the next request's first one, which may still be on its way.
        if (next.fBlock != req->block && !retried) {
            retried = true;
            IOSleep(1);
            continue;
        }
        gaveUp = true;
        break;
    }
    if (gaveUp) {
        DextLog("sanitizeInputRequest - failed to recover from apparent isoc errors, only chased %d uframes!",
                count);
        ChaseRecord& record = block.fChase[size_t(Driver::Dext)];
        for (uint32_t i = 0; i < kPacketsPerBlock; ++i) {
            record.fPacketHeaders[i] = ReadPacketHeader(iterFor(req, i).packet());
            record.fDropped[i] = 0;
        }
        return;
    }
    takeLengths(block.fChase[size_t(Driver::Dext)]);
}

bool com_vork_driver_tide_usb_io_stream::MaybeHandleDroppedIsoc(const InputChaser& chaser,
                                                                const USBRequestIter& current,
                                                                const USBRequestIter& next,
                                                                USBRequestIter* found, int packetsRemaining,
                                                                int* packetsChased)
{
    USBRequestIter fresh;
    int n = 0;
    // Searched from the first stale packet, n counts the packets from the current one's successor up
    // to the fresh one found, which are exactly those whose frames went missing.
    if (next.fBlock == nullptr || !chaser.didIsocInGetDropped(next, packetsRemaining, fresh, n)) {
        return false;
    }
    if (!ivars->headersEnabled || fresh.fBlock == nullptr) {
        return false;
    }
    const IsocPacketHeader header = ReadPacketHeader(current.packet());
    uint32_t bytes = uint32_t(header.numSampleFramesThisPacket) * ivars->inBytesPerFrame;
    if (bytes > ivars->inMaxPacketSize - kHeaderBytes) {
        bytes = ivars->inMaxPacketSize - kHeaderBytes;
    }
    recordPacket(current, bytes + kHeaderBytes);

    const IsocPacketHeader after = ReadPacketHeader(fresh.packet());
    int64_t total = after.totalNumSampleFramesSent;
    if (after.totalNumSampleFramesSent < header.totalNumSampleFramesSent) {
        total += int64_t(1) << 32;
    }
    const int64_t missing =
        total - after.numSampleFramesThisPacket - int64_t(header.totalNumSampleFramesSent);
    // Frames are compared with what the packets could have carried, in bytes.
    if (missing <= 0 || missing * ivars->inBytesPerFrame > int64_t(n) * ivars->inMaxPacketSize) {
        return false;
    }
    chaser.setTransferLengthsForDroppedInputPackets(current, n, missing);
    *found = fresh;
    *packetsChased = n;
    return true;
}

bool com_vork_driver_tide_usb_io_stream::SetupFrameSnapshotThread()
{
    DextLog("%s", __func__);
    if (ivars->fBusWorkLoop == nullptr) {
        return false;
    }
    bool ready = false;
    with_gate_closed(ivars->fBusWorkLoop, [&] {
        TearDownFrameSnapshotThread();
        const kern_return_t ret =
            IODispatchQueue::Create("Frame Snapshot Queue", 0, 0, &ivars->snapshotQueue);
        if (ret != kIOReturnSuccess) {
            DextLog("%s - couldn't create dispatch queue (err %08x)", __func__, ret);
            return;
        }
        if (ivars->snapshotQueue == nullptr) {
            DextLog("%s - couldn't create dispatch queue (quee is NULL)", __func__);
            return;
        }
        ivars->snapshotSource = com_vork_driver_tide_proxyEventSource::proxyEventSource(
            this, GetFrameSnapshotProc, ivars->snapshotQueue);
        if (ivars->snapshotSource == nullptr) {
            DextLog("%s - couldn't create proxy event source", __func__);
            return;
        }
        ready = true;
    });
    return ready;
}

void com_vork_driver_tide_usb_io_stream::TearDownFrameSnapshotThread()
{
    if (ivars->fBusWorkLoop == nullptr || ivars->snapshotQueue == nullptr) {
        return;
    }
    with_gate_closed(ivars->fBusWorkLoop, [&] {
        auto stopped = std::make_shared<std::atomic<bool>>(false);
        const kern_return_t ret = ivars->snapshotQueue->Cancel([stopped] {
            DextLog("%s - thread stopped", "TearDownFrameSnapshotThread");
            stopped->store(true);
        });
        if (ret != kIOReturnSuccess) {
            DextLog("%s - cancel frame snapshot thread failed with %08x", __func__, ret);
            return;
        }
        for (;;) {
            // The queue usually stops within microseconds; only a snapshot in progress is slept on.
            for (int spin = 0; spin < kTeardownSpins && !stopped->load(); ++spin) {
                std::this_thread::yield();
            }
            if (stopped->load()) {
                break;
            }
            DextLog("%s - Waiting for frame snapshot thread to stop - sleeping", __func__);
            IOSleep(1);
        }
        DextLog("%s - Frame snapshot thread has stopped", __func__);
        OSSafeReleaseNULL(ivars->snapshotSource);
        OSSafeReleaseNULL(ivars->snapshotQueue);
        ivars->snapshotBuffer->reset();
    });
}

void com_vork_driver_tide_usb_io_stream::GetFrameSnapshotProc(OSObject* object, IODispatchQueue*)
{
    static_cast<com_vork_driver_tide_usb_io_stream*>(object)->DoGetFrameSnapshot();
}

bool com_vork_driver_tide_usb_io_stream::tryFrameSnapshot(uint64_t* frame, uint64_t* time)
{
    uint64_t current = 0;
    uint64_t t0 = 0;
    const uint64_t target =
        ivars->fInInterface->GetFrameNumber(&current, &t0) == kIOReturnSuccess ? current + 1 : 0;
    const uint64_t deadline = mach_absolute_time() + kSnapshotPollLimit;
    uint64_t lastOld = t0;
    for (;;) {
        uint64_t polled = 0;
        if (ivars->fInInterface->GetFrameNumber(&polled, nullptr) != kIOReturnSuccess) {
            polled = UINT64_MAX;
        }
        const uint64_t now = mach_absolute_time();
        if (polled > target) {
            DextLog("read timestamp skipped a frame");
            return false;
        }
        if (polled == target) {
            if (now - lastOld < kSnapshotBracket) {
                *frame = target;
                *time = now;
                return true;
            }
            return false;
        }
        lastOld = now;
        if (now >= deadline) {
            return false;
        }
    }
}

void com_vork_driver_tide_usb_io_stream::DoGetFrameSnapshot()
{
    if (ivars->fInInterface == nullptr || ivars->snapshotBuffer == nullptr) {
        return;
    }
    if (ivars->abortRequested.load()) {
        DextLog("%s - Abort requested, returning", __func__);
        return;
    }
    uint64_t frame = 0;
    uint64_t time = 0;
    bool taken = false;
    for (uint32_t attempt = 0; attempt < kSnapshotTries && !taken; ++attempt) {
        if (attempt > 0 && ivars->abortRequested.load()) {
            DextLog("%s - Abort requested, returning", __func__);
            return;
        }
        taken = tryFrameSnapshot(&frame, &time);
    }
    if (!taken) {
        DextLog("DoGetFrameSnapshot FAIL");
        return;
    }
    const uint64_t previousFrame = ivars->latestFrame;
    ivars->latestFrame = frame;
    ivars->latestHostTime = time;
    if (frame == previousFrame) {
        return;
    }
    const FrameSnapshot snapshot{frame, time};
    ivars->snapshotBuffer->push(&snapshot);
}

void com_vork_driver_tide_usb_io_stream::UpdateFrameTimestamps()
{
    if (ivars->snapshotBuffer == nullptr) {
        return;
    }
    for (;;) {
        if (ivars->abortRequested.load()) {
            DextLog("%s - Abort requested, returning", "UpdateFrameTimestamps");
            return;
        }
        FrameSnapshot snapshot;
        if (!ivars->snapshotBuffer->pop(&snapshot)) {
            return;
        }
        const uint64_t f0 = ivars->snapshotFrame;
        const uint64_t t0 = ivars->snapshotHostTime;
        ivars->snapshotFrame = snapshot.frame;
        ivars->snapshotHostTime = snapshot.hostTime;
        if (f0 != 0 && snapshot.frame != f0) {
            ivars->periodSamples[ivars->sampleIndex] = (snapshot.hostTime - t0) / (snapshot.frame - f0);
            ivars->sampleIndex = (ivars->sampleIndex + 1) % kPeriodSamples;
            uint64_t sum = 0;
            for (uint64_t sample : ivars->periodSamples) {
                sum += sample;
            }
            ivars->framePeriod = sum / kPeriodSamples;
        }
    }
}

IOReturn com_vork_driver_tide_usb_io_stream::setupIsocWatchdog()
{
    if (ivars->fBusWorkLoop == nullptr) {
        ReportBooleanError("ivars->fBusWorkLoop");
        return kIOReturnNotReady;
    }
    if (ivars->fProvider == nullptr) {
        ReportBooleanError("ivars->fProvider");
        return kIOReturnNotReady;
    }
    com_vork_driver_tide_control_interface* driverService = ivars->fProvider->getUAC_service();
    if (driverService == nullptr) {
        ReportBooleanError("driverService");
        return kIOReturnNotReady;
    }
    tearDownIsocWatchdog();
    kern_return_t ret = driverService->CreateActionUSBTimerDispatchSource_TimerOccurred(
        sizeof(CompletionReference<TimerCallback>), &ivars->fIsocWatchdogAction);
    if (ret != kIOReturnSuccess) {
        ReportError(
            ret,
            "driverService->CreateActionUSBTimerDispatchSource_TimerOccurred(sizeof(IOTimerDispatchSource_"
            "TimerOccurred_Vars), &ivars->fIsocWatchdogAction)");
        return ret;
    }
    *static_cast<CompletionReference<TimerCallback>*>(ivars->fIsocWatchdogAction->GetReference()) = {
        IsocWatchdogTimerFired, this};
    ret = IOTimerDispatchSource::Create(ivars->fBusWorkLoop, &ivars->fIsocWatchdogTimer);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "IOTimerDispatchSource::Create(ivars->fBusWorkLoop, &ivars->fIsocWatchdogTimer)");
        return ret;
    }
    ret = ivars->fIsocWatchdogTimer->SetHandler(ivars->fIsocWatchdogAction);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "ivars->fIsocWatchdogTimer->SetHandler(ivars->fIsocWatchdogAction)");
        return ret;
    }
    ret = ivars->fIsocWatchdogTimer->SetEnable(true);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "ivars->fIsocWatchdogTimer->SetEnable(true)");
        return ret;
    }
    ivars->watchdogLastCount = 0;
    ivars->watchdogNextWake = mach_absolute_time() + kWatchdogPeriod;
    ret = ivars->fIsocWatchdogTimer->WakeAtTime(kIOTimerClockMachAbsoluteTime, ivars->watchdogNextWake, 0);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "ivars->fIsocWatchdogTimer->WakeAtTime(kIOTimerClockMachAbsoluteTime, nextTime, 0)");
    }
    return ret;
}

void com_vork_driver_tide_usb_io_stream::tearDownIsocWatchdog()
{
    if (ivars->fIsocWatchdogTimer != nullptr) {
        const kern_return_t status =
            ivars->fIsocWatchdogTimer->Cancel([] { DextLog("%s - thread stopped", "tearDownIsocWatchdog"); });
        if (status != kIOReturnSuccess) {
            ReportError(status, "status");
        }
        OSSafeReleaseNULL(ivars->fIsocWatchdogTimer);
    }
    if (ivars->fIsocWatchdogAction != nullptr) {
        const kern_return_t status = ivars->fIsocWatchdogAction->Cancel(
            [] { DextLog("%s - thread stopped", "tearDownIsocWatchdog"); });
        if (status != kIOReturnSuccess) {
            ReportError(status, "status");
        }
        OSSafeReleaseNULL(ivars->fIsocWatchdogAction);
    }
}

void com_vork_driver_tide_usb_io_stream::IsocWatchdogTimerFired(uint64_t time, void* context)
{
    static_cast<com_vork_driver_tide_usb_io_stream*>(context)->isocWatchdogTimerCallback(time);
}

void com_vork_driver_tide_usb_io_stream::isocWatchdogTimerCallback(uint64_t)
{
    ivars->watchdogNextWake = mach_absolute_time() + kWatchdogPeriod;
    const uint64_t count = outputByteCount();
    if (count != 0 && count == ivars->watchdogLastCount) {
        DextLog("!! Isoc stalled!");
    }
    ivars->watchdogLastCount = count;
    if (ivars->fIsocWatchdogTimer == nullptr) {
        return;
    }
    const kern_return_t ret =
        ivars->fIsocWatchdogTimer->WakeAtTime(kIOTimerClockMachAbsoluteTime, ivars->watchdogNextWake, 0);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "ivars->fIsocWatchdogTimer->WakeAtTime(kIOTimerClockMachAbsoluteTime, nextTime, 0)");
    }
}
