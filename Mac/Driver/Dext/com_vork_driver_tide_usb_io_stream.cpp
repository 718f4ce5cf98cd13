#include "com_vork_driver_tide_usb_io_stream.h"

#include "DextReport.h"
#include "FrameClock.h"
#include "InputSanitizer.h"
#include "OutputRequestSizes.h"
#include "com_vork_driver_tide_control_interface.h"
#include "com_vork_driver_tide_usb_provider.h"
#include "with_gate_closed.h"

#include <DriverKit/OSMetaClass.h>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mach/mach_time.h>
#include <thread>

OSDefineMetaClassAndStructors(com_vork_driver_tide_usb_io_stream, OSObject);

using namespace KorvanDeviceIO;

namespace {

constexpr uint32_t kRequests = kRequestBlockCount;
constexpr uint32_t kFramesPerRequest = kPacketsPerBlock / 8;
constexpr uint32_t kFirstInputLead = 20;
constexpr uint32_t kOutputLead = 320;
// The frames from an input request to the output request that mirrors it: the first input request
// only starts the chain, so the first output mirrors the second.
constexpr uint32_t kMirrorDistance = kOutputLead - kFramesPerRequest;
constexpr uint32_t kInitialInputRequests = 4;
constexpr uint64_t kWatchdogPeriod = 2'000'000'000;
constexpr uint64_t kFrameListBytes = kPacketsPerBlock * sizeof(IOUSBIsochronousFrame);
constexpr uint64_t kHeaderAreaBytes = offsetof(USBRequestBlock, fBuffer);
constexpr int kTeardownSpins = 10'000;

constexpr IOReturn kIOReturnUnderrunStatus = static_cast<IOReturn>(0xE00002E7);
constexpr IOReturn kIOReturnNotRespondingStatus = static_cast<IOReturn>(0xE00002ED);
constexpr IOReturn kIOUSBLowLatencyFrameListStatus = static_cast<IOReturn>(0xE000400E);

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

    FrameClock frameClock;
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
    return ivars->frameClock.predictedHostTime(frame);
}

uint64_t com_vork_driver_tide_usb_io_stream::framePeriod() const
{
    return ivars->frameClock.framePeriod();
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

    if (!ivars->frameClock.hasSnapshot()) {
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
    uint64_t frameNumber = ivars->nextInFrame;
    ivars->nextInFrame += kFramesPerRequest;
    kern_return_t result = queueInputRequest(request, frameNumber);
    uint64_t currentFrame = 0;
    if (result == kIOReturnIsoTooOld &&
        ivars->fInInterface->GetFrameNumber(&currentFrame, nullptr) == kIOReturnSuccess) {
        // This queue ran so late that the bus has passed the request's frame. Left out, the request
        // would be gone from the chain for good, and the input would stop once every request in
        // flight had gone the same way. It goes to the first frame a start would take instead; the
        // frames in between are lost, and its output keeps its distance (see SubmitNextOutRequest).
        DextLog("input request %u late for frame %llu, queued at %llu\n", request->index,
                static_cast<unsigned long long>(frameNumber),
                static_cast<unsigned long long>(currentFrame + kFirstInputLead));
        frameNumber = currentFrame + kFirstInputLead;
        ivars->nextInFrame = frameNumber + kFramesPerRequest;
        result = queueInputRequest(request, frameNumber);
    }
    if (result != kIOReturnSuccess) {
        ReportError(result, "result = ivars->fInPipe->IsochIO(request->fBufferDescriptor, "
                            "request->fFrameListDescriptor, frameNumber, request->fCompletion)");
        DextLog("fIsocInPipe->Read returned %08X\n", result);
        return false;
    }
    return true;
}

kern_return_t com_vork_driver_tide_usb_io_stream::queueInputRequest(USBIsocRequest* request,
                                                                    uint64_t frameNumber)
{
    WriteBlockHeader(*request->block, BlockHeader{predictedHostTime(frameNumber), frameNumber * 8, 0, 0});
    return ivars->fInPipe->IsochIO(request->fBufferDescriptor, request->fFrameListDescriptor, frameNumber,
                                   request->fCompletion);
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
    if (status != kIOReturnSuccess && status != kIOReturnUnderrunStatus) {
        DextLog("USB IN ERR %08x\n", status);
    }
    // A request that completed just before an abort is delivered after it: the stream has let go of
    // the pipe, and the completion is as late as an aborted one.
    if (!acceptedInputStatus(status) || ivars->fInPipe == nullptr) {
        return;
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
    const OutputRequestSizes sizes = SizeOutputRequest(
        inReq->fFrameList, request->fFrameList,
        {ivars->inBytesPerFrame, ivars->outBytesPerFrame, ivars->outMaxPacketSize, ivars->headersEnabled},
        outIndex);
    ivars->inByteCount += sizes.inputBytes;
    const uint64_t outCount = outStart + sizes.outputBytes;
    ivars->outByteCount.store(outCount, std::memory_order_relaxed);
    BlockHeader inHeader = ReadBlockHeader(*inReq->block);
    inHeader.fStartByteCount = inStart;
    inHeader.fEndByteCount = ivars->inByteCount;
    WriteBlockHeader(*inReq->block, inHeader);

    UpdateFrameTimestamps();
    if (ivars->snapshotSource != nullptr) {
        ivars->snapshotSource->signalWorkAvailable();
    }

    // An input request queued later than planned moves its output, and those after it, as far.
    ivars->nextOutFrame = std::max(ivars->nextOutFrame, inHeader.fMicroframe / 8 + kMirrorDistance);
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

void com_vork_driver_tide_usb_io_stream::sanitizeInputRequest(USBIsocRequest* req)
{
    if (!ivars->headersEnabled) {
        return;
    }
    if (req == nullptr) {
        ReportBooleanError("req");
        return;
    }
    InputSanitizer sanitizer(ivars->fInRequests[0].block, ivars->inMaxPacketSize, ivars->inBytesPerFrame,
                             ivars->headersVersion);
    sanitizer.sanitize(*req->block, req->fFrameList);
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
        ivars->frameClock.dropWaitingSnapshots();
    });
}

IODispatchQueue* com_vork_driver_tide_usb_io_stream::GetFrameSnapshotQueue() const
{
    return ivars->snapshotQueue;
}

void com_vork_driver_tide_usb_io_stream::GetFrameSnapshotProc(OSObject* object, IODispatchQueue*)
{
    static_cast<com_vork_driver_tide_usb_io_stream*>(object)->DoGetFrameSnapshot();
}

bool com_vork_driver_tide_usb_io_stream::readFrame(void* context, uint64_t* frame, uint64_t* time)
{
    return static_cast<IOUSBHostInterface*>(context)->GetFrameNumber(frame, time) == kIOReturnSuccess;
}

void com_vork_driver_tide_usb_io_stream::DoGetFrameSnapshot()
{
    if (ivars->fInInterface == nullptr) {
        return;
    }
    ivars->frameClock.takeSnapshot(readFrame, ivars->fInInterface, ivars->abortRequested);
}

void com_vork_driver_tide_usb_io_stream::UpdateFrameTimestamps()
{
    ivars->frameClock.applySnapshots(ivars->abortRequested);
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
