#include "InputSanitizer.h"

#include "DextReport.h"

using namespace KorvanDeviceIO;

namespace {

constexpr uint32_t kHeaderBytes = kIsocPacketHeaderBytes;
constexpr uint64_t kPluginCaughtUpMicroframes = kPacketsPerBlock - 1;
// A stretch of lost packets that reaches the end of a request may end anywhere in the next one.
constexpr int kSearchIntoNextRequest = int(kPacketsPerBlock);

} // namespace

InputSanitizer::InputSanitizer(USBRequestBlock* ring, uint32_t maxPacketSize, uint32_t bytesPerFrame,
                               uint8_t headerVersion)
    : fRing(ring), fMaxPacketSize(maxPacketSize), fBytesPerFrame(bytesPerFrame),
      fChaser(maxPacketSize, bytesPerFrame, true, headerVersion, &fNoLog)
{}

USBRequestIter InputSanitizer::at(USBRequestBlock& block, uint32_t packet) const
{
    return {fRing, &block, packet, fMaxPacketSize};
}

void InputSanitizer::recordPacket(const USBRequestIter& it, uint32_t length)
{
    StorePacketLength(it, Driver::Dext, length);
    ConsumePacket(it, Driver::Dext, true);
}

void InputSanitizer::takeLengths(const ChaseRecord& record, IOUSBIsochronousFrame* frames) const
{
    for (uint32_t i = 0; i < kPacketsPerBlock; ++i) {
        const uint32_t length = LoadPacketLength(record, i);
        uint32_t& completeCount = frames[i].completeCount;
        if (length != 0 && length != completeCount) {
            DextLog(
                "Mismatch between packet length reported from OS and packet length inferred during chase: "
                "request: %p, index: %lu (%u vs %u)\n",
                static_cast<void*>(frames), static_cast<unsigned long>(i), completeCount, length);
            completeCount = length < fMaxPacketSize ? length : fMaxPacketSize;
        }
    }
}

USBRequestIter InputSanitizer::firstUnchased(USBRequestBlock& block, uint64_t blockMicroframe) const
{
    const ChasePosition own = ReadChasePosition(block.fChase[size_t(Driver::Dext)]);
    if (own.fMicroframe < blockMicroframe || own.fMicroframe >= blockMicroframe + kPacketsPerBlock) {
        return at(block, 0);
    }
    return at(block, uint32_t(own.fMicroframe - blockMicroframe)).next();
}

void InputSanitizer::sanitize(USBRequestBlock& block, IOUSBIsochronousFrame* frames)
{
    const uint64_t blockMicroframe = RingDetail::load(block.fMicroframe, std::memory_order_relaxed);
    const ChasePosition plugin = ReadChasePosition(block.fChase[size_t(Driver::CoreAudio)]);
    if (plugin.fMicroframe >= blockMicroframe + kPluginCaughtUpMicroframes) {
        takeLengths(block.fChase[size_t(Driver::CoreAudio)], frames);
        return;
    }

    USBRequestIter it = firstUnchased(block, blockMicroframe);
    int count = it.fBlock == &block ? int(it.fPacketIndex) : int(kPacketsPerBlock);
    bool retried = false;
    bool gaveUp = false;
    while (it.fBlock == &block) {
        const USBRequestIter next = it.next();
        if (IsPacketFresh(next, Driver::Dext, true)) {
            const IsocPacketHeader header = ReadPacketHeader(it.packet());
            recordPacket(it, uint32_t(header.numSampleFramesThisPacket) * fBytesPerFrame + kHeaderBytes);
            ++count;
            it = next;
            continue;
        }
        USBRequestIter found;
        int chased = 0;
        const Repair repair = MaybeHandleDroppedIsoc(
            it, next, &found, int(kPacketsPerBlock) - count + kSearchIntoNextRequest, &chased);
        if (repair == Repair::Done) {
            count += chased;
            it = found;
            continue;
        }
        // The last packet waits for the next request's first one, and a stretch for its end and a
        // packet after it; either may still be on its way.
        if ((next.fBlock != &block || repair == Repair::Unsettled) && !retried) {
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
            record.fPacketHeaders[i] = ReadPacketHeader(at(block, i).packet());
            record.fDropped[i] = 0;
        }
        return;
    }
    takeLengths(block.fChase[size_t(Driver::Dext)], frames);
}

InputSanitizer::Repair InputSanitizer::MaybeHandleDroppedIsoc(const USBRequestIter& current,
                                                              const USBRequestIter& next,
                                                              USBRequestIter* found, int packetsRemaining,
                                                              int* packetsChased)
{
    USBRequestIter fresh;
    int n = 0;
    // Searched from the first stale packet, n counts the packets from the current one's successor up
    // to the fresh one found, which are exactly those whose frames went missing.
    if (next.fBlock == nullptr) {
        return Repair::Failed;
    }
    // The search reaches into the next request: finding nothing, the stretch runs on into packets
    // the controller has yet to write.
    if (!fChaser.didIsocInGetDropped(next, packetsRemaining, fresh, n)) {
        return Repair::Unsettled;
    }
    // The stretch may end in the next request, which the controller is still writing: its headers
    // are taken only once the stretch is settled.
    if (!fChaser.SettleDroppedStretch(next, packetsRemaining, fresh, n)) {
        return Repair::Unsettled;
    }
    const IsocPacketHeader header = ReadPacketHeader(current.packet());
    uint32_t bytes = uint32_t(header.numSampleFramesThisPacket) * fBytesPerFrame;
    if (bytes > fMaxPacketSize - kHeaderBytes) {
        bytes = fMaxPacketSize - kHeaderBytes;
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
    if (missing <= 0 || missing * fBytesPerFrame > int64_t(n) * fMaxPacketSize) {
        return Repair::Failed;
    }
    fChaser.setTransferLengthsForDroppedInputPackets(current, n, missing);
    *found = fresh;
    *packetsChased = n;
    return Repair::Done;
}
