#include "com_vork_driver_tide_usb_io_stream.h"

#include <IOKit/IOLib.h>

#include <KorvanRequestRing.h>

#include <algorithm>
#include <cstring>

OSDefineMetaClassAndStructors(com_vork_driver_tide_usb_io_stream, OSObject)

    using namespace KorvanDeviceIO;

namespace {

constexpr const char* kSourceFile = "Kernel/USB/USBIsochHighSpeed";
constexpr size_t kDataOffset = offsetof(USBRequestBlock, fBuffer);

bool processedStatus(IOReturn status)
{
    return status == kIOReturnSuccess || status == kIOReturnUnderrun || status == kIOReturnNotResponding ||
           status == IOReturn(0xE000400E);
}

void writeHeader(USBRequestBlock& block, uint64_t hostTime, uint64_t start, uint64_t end)
{
    WriteBlockHeader(block, BlockHeader{hostTime, 0, start, end});
}

} // namespace

com_vork_driver_tide_usb_io_stream* com_vork_driver_tide_usb_io_stream::Create(IOWorkLoop* workLoop)
{
    auto* stream = new com_vork_driver_tide_usb_io_stream;
    if (!stream->init(workLoop)) {
        stream->release();
        return nullptr;
    }
    return stream;
}

bool com_vork_driver_tide_usb_io_stream::InitRing(IOBufferMemoryDescriptor*& buffer, Request* requests,
                                                  bool input)
{
    buffer = IOBufferMemoryDescriptor::inTaskWithPhysicalMask(current_task(), kIODirectionInOut,
                                                              kRequestRingSizeBytes, 0xFFFFF000);
    if (!buffer) {
        return false;
    }
    auto* base = static_cast<uint8_t*>(buffer->getBytesNoCopy());
    for (uint32_t index = 0; index < kRequests; ++index) {
        Request& request = requests[index];
        request.fStream = this;
        request.fIndex = index;
        request.fBlock = reinterpret_cast<USBRequestBlock*>(base + RequestBlockOffset(index));
        std::memset(request.fBlock, 0, sizeof(USBRequestBlock));
        request.fData = IOSubMemoryDescriptor::withSubRange(buffer, RequestBlockOffset(index) + kDataOffset,
                                                            kRequestDataSizeBytes, kIODirectionInOut);
        if (!request.fData) {
            return false;
        }
        request.fCompletion = {this, input ? &InputCompleted : &OutputCompleted, &request};
    }
    return true;
}

bool com_vork_driver_tide_usb_io_stream::init(IOWorkLoop* workLoop)
{
    if (!workLoop || !OSObject::init()) {
        return false;
    }
    workLoop->retain();
    fWorkLoop = workLoop;
    if (!InitRing(fInBuffer, fIn, true) || !InitRing(fOutBuffer, fOut, false)) {
        IOLog("ReportError(%s %d: %08X)\n", kSourceFile, __LINE__, unsigned(kIOReturnNoMemory));
        return false;
    }
    fSnapshots = std::make_unique<FrameSnapshots>();
    fSnapshotWorkLoop = IOWorkLoop::workLoop();
    fSnapshotSource = com_vork_driver_tide_proxyEventSource::proxyEventSource(this, &TakeSnapshots);
    fRequeueSource = com_vork_driver_tide_proxyEventSource::proxyEventSource(this, &Requeue);
    if (!fSnapshotWorkLoop || !fSnapshotSource || !fRequeueSource ||
        fWorkLoop->addEventSource(fRequeueSource) != kIOReturnSuccess) {
        IOLog("ReportError(%s %d: %08X)\n", kSourceFile, __LINE__, unsigned(kIOReturnNoResources));
        return false;
    }
    return true;
}

void com_vork_driver_tide_usb_io_stream::free()
{
    if (fRequeueSource && fWorkLoop) {
        fWorkLoop->removeEventSource(fRequeueSource);
    }
    if (fSnapshotSourceInstalled) {
        fSnapshotWorkLoop->removeEventSource(fSnapshotSource);
    }
    OSSafeReleaseNULL(fRequeueSource);
    OSSafeReleaseNULL(fSnapshotSource);
    OSSafeReleaseNULL(fSnapshotWorkLoop);
    for (Request* ring : {fIn, fOut}) {
        for (uint32_t index = 0; index < kRequests; ++index) {
            OSSafeReleaseNULL(ring[index].fData);
        }
    }
    OSSafeReleaseNULL(fInBuffer);
    OSSafeReleaseNULL(fOutBuffer);
    OSSafeReleaseNULL(fWorkLoop);
    OSObject::free();
}

IOBufferMemoryDescriptor* com_vork_driver_tide_usb_io_stream::GetBuffer(int memoryType)
{
    IOBufferMemoryDescriptor* buffer = memoryType == 1 ? fInBuffer : memoryType == 2 ? fOutBuffer : nullptr;
    if (buffer) {
        buffer->retain();
    }
    return buffer;
}

bool com_vork_driver_tide_usb_io_stream::Start(com_vork_driver_tide_provider* provider,
                                               IOUSBHostInterface* inInterface, IOUSBHostPipe* inPipe,
                                               uint32_t inBytesPerFrame, IOUSBHostPipe* outPipe,
                                               uint32_t outBytesPerFrame)
{
    if (fInInterface || fInPipe || fOutPipe || !fWorkLoop || !inInterface || !inPipe || !outPipe ||
        !fSnapshots || inBytesPerFrame == 0 || outBytesPerFrame == 0) {
        return false;
    }
    fInMaxPacket = StandardUSB::getEndpointMaxPacketSize(inPipe->getEndpointDescriptor());
    fOutMaxPacket = StandardUSB::getEndpointMaxPacketSize(outPipe->getEndpointDescriptor());
    IOLog("Start USBIsocIOStream in maxPacketSize %u\n", fInMaxPacket);
    fInBytesPerFrame = inBytesPerFrame;
    fOutBytesPerFrame = outBytesPerFrame;
    inInterface->retain();
    inPipe->retain();
    outPipe->retain();
    fInInterface = inInterface;
    fInPipe = inPipe;
    fOutPipe = outPipe;
    fInByteCount = 0;
    fOutByteCount = 0;
    fInIndex = 0;
    fOutIndex = 0;
    fLastCompleted = 0;
    fLastProcessed = 0;
    fSkipFirstInput = true;
    for (Request* ring : {fIn, fOut}) {
        for (uint32_t index = 0; index < kRequests; ++index) {
            writeHeader(*ring[index].fBlock, 0, 0, 0);
        }
    }

    // The first snapshot is taken here, before the snapshot loop may take any.
    TakeSnapshot();
    fSnapshots->Update();
    if (!fSnapshotSourceInstalled) {
        fSnapshotWorkLoop->addEventSource(fSnapshotSource);
        fSnapshotSourceInstalled = true;
    }
    if (!fSnapshots->HasCurrent()) {
        IOLog("failed to read frame snapshot\n");
        return false;
    }

    const uint64_t frame = inInterface->getFrameNumber();
    fNextInFrame = frame + kFirstInputFrameOffset;
    fNextOutFrame = frame + kFirstOutputFrameOffset;
    IOLog("first in req %llu (%llu), first out req %llu (%llu)\n",
          static_cast<unsigned long long>(fNextInFrame),
          static_cast<unsigned long long>(FrameToHostTime(fNextInFrame)),
          static_cast<unsigned long long>(fNextOutFrame),
          static_cast<unsigned long long>(FrameToHostTime(fNextOutFrame)));
    for (uint32_t request = 0; request < kInitialInputRequests; ++request) {
        SubmitNextInRequest();
    }
    provider->retain();
    fProvider = provider;
    return true;
}

uint64_t com_vork_driver_tide_usb_io_stream::FrameToHostTime(uint64_t frame) const
{
    return fSnapshots->FrameToHostTime(frame);
}

void com_vork_driver_tide_usb_io_stream::SubmitNextInRequest()
{
    if (fInIndex >= kRequests) {
        IOLog("OH NO, bad index\n");
        return;
    }
    Request& request = fIn[fInIndex];
    fInIndex = (fInIndex + 1) % kRequests;
    for (IOUSBHostIsochronousFrame& frame : request.fFrames) {
        frame.requestCount = fInMaxPacket;
        frame.completeCount = 0;
    }
    const uint64_t firstFrame = fNextInFrame;
    fNextInFrame += kFramesPerRequest / 8;
    retain();
    IOReturn result = queueInputRequest(request, firstFrame);
    if (result == kIOReturnIsoTooOld) {
        // This work loop ran so late that the bus has passed the request's frame. Left out, the
        // request would be gone from the chain for good, and the input would stop once every request
        // in flight had gone the same way. It goes to the first frame a start would take instead;
        // the frames in between are lost, and its output keeps its distance (see
        // SubmitNextOutRequest).
        const uint64_t frame = fInInterface->getFrameNumber() + kFirstInputFrameOffset;
        IOLog("input request %u late for frame %llu, queued at %llu\n", request.fIndex,
              static_cast<unsigned long long>(firstFrame), static_cast<unsigned long long>(frame));
        fNextInFrame = frame + kFramesPerRequest / 8;
        result = queueInputRequest(request, frame);
    }
    if (result != kIOReturnSuccess) {
        IOLog("fIsocInPipe->Read returned %08X\n", unsigned(result));
        release();
    }
}

IOReturn com_vork_driver_tide_usb_io_stream::queueInputRequest(Request& request, uint64_t firstFrame)
{
    writeHeader(*request.fBlock, FrameToHostTime(firstFrame), 0, 0);
    request.fFirstFrame = firstFrame;
    return fInPipe->io(request.fData, request.fFrames, kFramesPerRequest, firstFrame, &request.fCompletion);
}

void com_vork_driver_tide_usb_io_stream::InputCompleted(void*, void* parameter, IOReturn status,
                                                        IOUSBHostIsochronousFrame*)
{
    auto* request = static_cast<Request*>(parameter);
    com_vork_driver_tide_usb_io_stream* self = request ? request->fStream : nullptr;
    if (!self) {
        return;
    }
    if (status != kIOReturnAborted) {
        if (status != kIOReturnSuccess && status != kIOReturnUnderrun) {
            IOLog("USB IN ERR %08x\n", unsigned(status));
        }
        if (self->fInPipe && processedStatus(status)) {
            if (self->fSkipFirstInput) {
                IOLog("skipping first in request %08X\n", unsigned(status));
                self->fLastCompleted = request->fIndex;
                self->fLastProcessed = request->fIndex;
                self->fSkipFirstInput = false;
            } else {
                self->fLastCompleted = request->fIndex;
                self->fRequeueSource->signal();
            }
        }
    }
    self->release();
}

void com_vork_driver_tide_usb_io_stream::OutputCompleted(void*, void* parameter, IOReturn,
                                                         IOUSBHostIsochronousFrame*)
{
    auto* request = static_cast<Request*>(parameter);
    if (request && request->fStream) {
        request->fStream->release();
    }
}

void com_vork_driver_tide_usb_io_stream::Requeue(OSObject* owner, IOWorkLoop*)
{
    auto* self = static_cast<com_vork_driver_tide_usb_io_stream*>(owner);
    while (self->fInPipe && self->fLastProcessed != self->fLastCompleted) {
        self->fLastProcessed = (self->fLastProcessed + 1) % kRequests;
        self->SubmitNextOutRequest(self->fLastProcessed);
        self->SubmitNextInRequest();
    }
}

void com_vork_driver_tide_usb_io_stream::SubmitNextOutRequest(uint32_t inIndex)
{
    if (!fOutPipe || !fSnapshotSourceInstalled) {
        IOLog("ReportError(%s %d: %08X)\n", kSourceFile, __LINE__, unsigned(kIOReturnNotReady));
        return;
    }
    Request& input = fIn[inIndex];
    Request& output = fOut[fOutIndex];
    std::memset(output.fBlock->fBuffer, 0, kRequestDataSizeBytes);
    const uint64_t inStart = fInByteCount;
    const uint64_t outStart = fOutByteCount;
    size_t blockBytes = 0;
    uint32_t cappedPackets = 0;
    uint64_t largestAsked = 0;
    for (uint32_t packet = 0; packet < kFramesPerRequest; ++packet) {
        const uint32_t frames = input.fFrames[packet].completeCount / fInBytesPerFrame;
        // A client's bytes per frame can be anything: the product is taken in 64 bits.
        const uint64_t asked = uint64_t(frames) * fOutBytesPerFrame;
        // Never more than the endpoint takes in a microframe or the block holds.
        const uint32_t room = uint32_t(kRequestDataSizeBytes - blockBytes);
        const uint32_t cap = fOutMaxPacket < room ? fOutMaxPacket : room;
        uint32_t bytes = uint32_t(asked);
        if (asked > cap) {
            ++cappedPackets;
            largestAsked = std::max(largestAsked, asked);
            bytes = cap;
        }
        output.fFrames[packet].requestCount = bytes;
        output.fFrames[packet].completeCount = 0;
        blockBytes += bytes;
        fInByteCount += uint64_t(frames) * fInBytesPerFrame;
        fOutByteCount += bytes;
    }
    // One line for the request, not one for each of its packets: a client whose bytes per frame do
    // not match the device's would otherwise log 8,000 lines a second.
    if (cappedPackets > 0) {
        IOLog("output request %u: %u packets capped, the largest asked for %llu bytes\n", output.fIndex,
              cappedPackets, static_cast<unsigned long long>(largestAsked));
    }
    writeHeader(*input.fBlock, ReadBlockHeader(*input.fBlock).fHostTime, inStart, fInByteCount);

    fSnapshots->Update();
    fSnapshotSource->signal();

    // An input request queued later than planned moves its output, and those after it, as far.
    fNextOutFrame = std::max(fNextOutFrame, input.fFirstFrame + kMirrorDistance);
    writeHeader(*output.fBlock, FrameToHostTime(fNextOutFrame), outStart, fOutByteCount);
    const uint64_t firstFrame = fNextOutFrame;
    fNextOutFrame += kFramesPerRequest / 8;
    fOutIndex = (fOutIndex + 1) % kRequests;
    retain();
    const IOReturn result =
        fOutPipe->io(output.fData, output.fFrames, kFramesPerRequest, firstFrame, &output.fCompletion);
    if (result != kIOReturnSuccess) {
        IOLog("fIsocOutPipe->Write returned %08X\n", unsigned(result));
        release();
    }
}

void com_vork_driver_tide_usb_io_stream::TakeSnapshots(OSObject* owner, IOWorkLoop*)
{
    static_cast<com_vork_driver_tide_usb_io_stream*>(owner)->TakeSnapshot();
}

uint64_t com_vork_driver_tide_usb_io_stream::ReadFrame(void* interface, AbsoluteTime* time)
{
    return static_cast<IOUSBHostInterface*>(interface)->getFrameNumber(time);
}

void com_vork_driver_tide_usb_io_stream::TakeSnapshot()
{
    if (fInInterface) {
        fSnapshots->Take(&ReadFrame, fInInterface);
    }
}

void com_vork_driver_tide_usb_io_stream::ReleaseStreamingObjects()
{
    for (IOUSBHostPipe** pipe : {&fInPipe, &fOutPipe}) {
        if (*pipe) {
            (*pipe)->abort(0, kIOReturnAborted, nullptr);
            OSSafeReleaseNULL(*pipe);
        }
    }
    OSSafeReleaseNULL(fInInterface);
    OSSafeReleaseNULL(fProvider);
}

void com_vork_driver_tide_usb_io_stream::Abort()
{
    IOLog("->USBIsocIOStream::Abort\n");
    fWorkLoop->closeGate();
    IOLog("->GOT BUS WORK LOOP\n");
    // Taken out first: a snapshot in progress ends before the interface it reads goes.
    if (fSnapshotSourceInstalled) {
        fSnapshotWorkLoop->removeEventSource(fSnapshotSource);
        fSnapshotSourceInstalled = false;
    }
    ReleaseStreamingObjects();
    fWorkLoop->openGate();
    IOLog("<-USBIsocIOStream::Abort\n");
}
