#include "SA_DeviceUSB.h"

#include "KorvanChaseRoutinesMac.h"
#include "SampleConversion.h"

#include <mach/mach_time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

using namespace KorvanDeviceIO;

namespace {

using Chaser = USBInputChaser<Driver::CoreAudio, LogThread>;

constexpr UInt64 kIOThreadChaseHoldNs = kIsocRingBufferDuration / 2;

// The frame of a ring of `period` frames that a sample time falls on.
UInt64 RingFrame(Float64 sampleTime, UInt64 offset, UInt64 period)
{
    const int64_t whole = std::isfinite(sampleTime) ? int64_t(sampleTime) : 0;
    const int64_t frame = (whole + int64_t(offset % period)) % int64_t(period);
    return UInt64(frame < 0 ? frame + int64_t(period) : frame);
}

} // namespace

bool SA_DeviceUSB::ChaseTimerProc(WorkLoopItem*, void* device)
{
    auto* self = static_cast<SA_DeviceUSB*>(device);
    if (self == nullptr) {
        return true;
    }
    if (self->fStartCount != 0 && self->fIOThreadChases) {
        const UInt64 last = self->fLastChaseHostTime;
        const UInt64 now = mach_absolute_time();
        if (last > now || now - last <= kIOThreadChaseHoldNs) {
            return true;
        }
    }
    self->ChaseInput();
    self->UpdateZeroTimes();
    return true;
}

void SA_DeviceUSB::CopyIntoChaseBuffer(const UInt8* bytes, UInt32 byteCount)
{
    UInt64 copied = fInSampleFramesCopied;
    if (!CopyUframeIntoChaseBuffer(fChaseBuffer.get(), fChaseBufferEnd, fChaseWritePtr, bytes, byteCount,
                                   fInBytesPerSampleFrame, fInNumCh, copied)) {
        LOG_THREAD_POST(fLog.get(), "UNSUPPORTED CHANNEL COUNT %u", unsigned(fInNumCh));
    }
    fInSampleFramesCopied = copied;
}

void SA_DeviceUSB::WriteSilence(UInt64 frames)
{
    float* const start = fChaseBuffer.get();
    const UInt64 ringFloats = UInt64(fChaseBufferEnd - start);
    if (ringFloats == 0) {
        return;
    }
    const UInt64 position = UInt64(fChaseWritePtr - start);
    const UInt64 floats = frames * fInNumCh;
    // Silence beyond one period leaves the same buffer and write position.
    UInt64 toWrite = std::min(floats, ringFloats);
    UInt64 at = position;
    while (toWrite > 0) {
        const UInt64 piece = std::min(toWrite, ringFloats - at);
        std::memset(start + at, 0, piece * sizeof(float));
        toWrite -= piece;
        at = (at + piece) % ringFloats;
    }
    fChaseWritePtr = start + (position + floats % ringFloats) % ringFloats;
}

UInt32 SA_DeviceUSB::HeaderOffFrames(const UInt8* packet) const
{
    UInt32 frames = 0;
    while (frames < fInMaxSampleFramesPerPacket &&
           std::size_t(frames) * fInBytesPerSampleFrame + kStalePatternBytes <= fInMaxPacketSizeBytes &&
           !HoldsStalePattern(packet + std::size_t(frames) * fInBytesPerSampleFrame)) {
        ++frames;
    }
    return frames;
}

void SA_DeviceUSB::ConsumeChasePacket(const USBRequestIter& packet)
{
    if (fStreamingHeadersEnabled) {
        const IsocPacketHeader header = ReadPacketHeader(packet.packet());
        UInt32 bytes = UInt32(header.numSampleFramesThisPacket) * fInBytesPerSampleFrame;
        if (bytes > fInMaxPacketSizeBytes - kIsocPacketHeaderBytes) {
            LOG_THREAD_POST(fLog.get(),
                            "Error - isoc in packet header invalid: (%u, %u) max packet size: %u\n",
                            unsigned(header.totalNumSampleFramesSent),
                            unsigned(header.numSampleFramesThisPacket), unsigned(fInMaxPacketSizeBytes));
            bytes = fInMaxPacketSizeBytes - kIsocPacketHeaderBytes;
        }
        CopyIntoChaseBuffer(packet.packet() + kIsocPacketHeaderBytes, bytes);
        if (fInSampleFramesChased == 0) {
            // The drivers skip the first input request: its packets count as consumed.
            ChaseRecord& first = fInRequestBlocks[0].fChase[std::size_t(Driver::CoreAudio)];
            for (std::size_t index = 0; index < kPacketsPerBlock; ++index) {
                first.fPacketHeaders[index] =
                    ReadPacketHeader(fInRequestBlocks[0].fBuffer + index * fInMaxPacketSizeBytes);
                first.fDropped[index] = 0;
            }
        } else {
            const bool consistent = ((UInt64(fInSampleFramesChased) + header.numSampleFramesThisPacket) &
                                     UINT32_MAX) == header.totalNumSampleFramesSent;
            LOG_THREAD_ASSERT(fLog.get(), consistent);
            if (!consistent) {
                LOG_THREAD_POST(fLog.get(), "!!! fInSampleFramesChased: %lld, packet header: (%u, %u)\n",
                                static_cast<long long>(fInSampleFramesChased),
                                unsigned(header.totalNumSampleFramesSent),
                                unsigned(header.numSampleFramesThisPacket));
            }
        }
        fInSampleFramesChased = header.totalNumSampleFramesSent;
        StorePacketLength(packet, Driver::CoreAudio, bytes + kIsocPacketHeaderBytes);
    } else {
        if (fFirstBlockStale) {
            // The drivers' skipped first request left its data in block 0; the chase must not take
            // it for fresh when it comes round.
            std::memset(fInRequestBlocks[0].fBuffer, kStalePacketByte, kRequestDataSizeBytes);
            fFirstBlockStale = false;
        }
        CopyIntoChaseBuffer(packet.packet(), HeaderOffFrames(packet.packet()) * fInBytesPerSampleFrame);
    }
    ConsumePacket(packet, Driver::CoreAudio, fStreamingHeadersEnabled);
}

bool SA_DeviceUSB::SkipLostPackets()
{
    const Chaser chaser(fInMaxPacketSizeBytes, fInBytesPerSampleFrame, fStreamingHeadersEnabled,
                        fStreamingHeadersVersion, fLog.get());
    const USBRequestIter lost = fChaseRequest.next();
    USBRequestIter fresh;
    int distance = 0;
    if (!chaser.FindNextFreshIsocIn(lost, kDropSearchPackets, fresh, distance)) {
        return false;
    }
    // The controller fills packets in order: those before the fresh one were lost only when they
    // still hold the pattern now that it has arrived.
    for (USBRequestIter it = lost; it.fBlock != fresh.fBlock || it.fPacketIndex != fresh.fPacketIndex;
         it = it.next()) {
        if (!HoldsStalePattern(it.packet())) {
            return false;
        }
    }
    ConsumeChasePacket(fChaseRequest);
    LOG_THREAD_POST(fLog.get(), "!!! Detected %d dropped isoc packets!\n", distance);
    fChaseRequest = fresh;
    return true;
}

bool SA_DeviceUSB::LiesACycleBehind(const IsocPacketHeader& header) const
{
    const IsocPacketHeader last = ReadPacketHeader(fChaseRequest.packet());
    const auto behindChased =
        -int64_t(int32_t(header.totalNumSampleFramesSent - uint32_t(fInSampleFramesChased)));
    const auto behindLast =
        -int64_t(int32_t(header.totalNumSampleFramesSent - last.totalNumSampleFramesSent));
    const int64_t twoCycles = 2 * int64_t(kPacketsPerRing) * last.numSampleFramesThisPacket;
    return fInSampleFramesChased != 0 && behindChased > 0 && behindLast > 0 && behindChased <= twoCycles;
}

bool SA_DeviceUSB::HasArrived(const USBRequestIter& packet) const
{
    return IsPacketFresh(packet, Driver::CoreAudio, fStreamingHeadersEnabled) &&
           !(fStreamingHeadersEnabled && LiesACycleBehind(ReadPacketHeader(packet.packet())));
}

// The headers around a settled stretch do not add up, so how many frames it lost is unknown, and
// they stay as they are until the controller writes these ring positions again a ring cycle later.
// Holding until then would stop the input and leave it reading frames a ring old. The chase instead
// takes the last good packet once, counts the lost packets as carrying no frames, as without
// headers, and follows the device's count from the next good packet on.
void SA_DeviceUSB::PassOverUnrepairedStretch(const USBRequestIter& nextGood)
{
    ConsumeChasePacket(fChaseRequest);
    for (USBRequestIter lost = fChaseRequest.next();
         lost.fBlock != nextGood.fBlock || lost.fPacketIndex != nextGood.fPacketIndex; lost = lost.next()) {
        StorePacketLength(lost, Driver::CoreAudio, kIsocPacketHeaderBytes);
        ConsumePacket(lost, Driver::CoreAudio, true);
    }
    fChaseRequest = nextGood;
    // The count before the next good packet; 0 would read as "nothing chased yet", and only its low
    // 32 bits are ever compared.
    const IsocPacketHeader next = ReadPacketHeader(nextGood.packet());
    const uint32_t before = next.totalNumSampleFramesSent - next.numSampleFramesThisPacket;
    fInSampleFramesChased = before != 0 ? int64_t(before) : int64_t(1) << 32;
}

bool SA_DeviceUSB::RepairDroppedPackets()
{
    const Chaser chaser(fInMaxPacketSizeBytes, fInBytesPerSampleFrame, fStreamingHeadersEnabled,
                        fStreamingHeadersVersion, fLog.get());
    USBRequestIter nextGood;
    int count = 0;
    const USBRequestIter stale = fChaseRequest.next();
    if (!chaser.didIsocInGetDropped(stale, kDropSearchPackets, nextGood, count)) {
        return false;
    }
    // The controller fills packets in order: the packet that looked stale was still being written
    // when it has arrived by now. Only a packet still stale behind fresh ones was lost.
    if (HasArrived(stale)) {
        return true;
    }
    // Until a packet has arrived after the stretch's end, its header may be half written and a
    // packet taken for lost may just have arrived. Wait. The stretch ends in a packet of the cycle
    // before where the controller has not come round yet: wait for it.
    if (!chaser.SettleDroppedStretch(stale, kDropSearchPackets, nextGood, count) ||
        LiesACycleBehind(ReadPacketHeader(nextGood.packet()))) {
        return false;
    }
    LOG_THREAD_POST(fLog.get(), "!!! Detected %d dropped isoc packets!\n", count);
    int64_t dropped = 0;
    const auto copy = [this](const UInt8* bytes, UInt32 byteCount) { CopyIntoChaseBuffer(bytes, byteCount); };
    if (!chaser.handleDroppedIsoc(copy, fChaseRequest, nextGood, unsigned(count), fInSampleFramesChased,
                                  dropped)) {
        LOG_THREAD_POST(fLog.get(), "!!! handlDroppedIsoc failed!");
        PassOverUnrepairedStretch(nextGood);
        return true;
    }
    const float* const before = fChaseWritePtr;
    WriteSilence(UInt64(dropped));
    const std::ptrdiff_t ringFloats = fChaseBufferEnd - fChaseBuffer.get();
    const std::ptrdiff_t delta = ((fChaseWritePtr - before) % ringFloats + ringFloats) % ringFloats;
    char from[64];
    char to[64];
    std::snprintf(from, sizeof(from), "%s: {%zu, %u}", "fChaseRequest", fChaseRequest.blockNumber(),
                  unsigned(fChaseRequest.fPacketIndex));
    std::snprintf(to, sizeof(to), "%s: {%zu, %u}", "nextGoodRequest", nextGood.blockNumber(),
                  unsigned(nextGood.fPacketIndex));
    LOG_THREAD_POST(fLog.get(), "chaseFrameDelta: %zu, iters before / after: %s - %s\n",
                    std::size_t(delta) / fInNumCh, from, to);
    fChaseRequest = nextGood;
    fInSampleFramesChased += dropped;
    return true;
}

void SA_DeviceUSB::ChaseInput()
{
    std::lock_guard<std::recursive_mutex> lock(fChaseLock);
    if (fInRequestBlocks != nullptr && fInNumCh != 0 && fChaseBufferEnd > fChaseBuffer.get()) {
        // Bounded: one ring of packets and as many repairs at most per pass.
        for (std::size_t step = 0; step < kPacketsPerRing; ++step) {
            const USBRequestIter next = fChaseRequest.next();
            if (HasArrived(next)) {
                ConsumeChasePacket(fChaseRequest);
                fChaseRequest = next;
                continue;
            }
            const bool goOn = fStreamingHeadersEnabled ? fInSampleFramesChased >= 1 && RepairDroppedPackets()
                                                       : SkipLostPackets();
            if (!goOn) {
                break;
            }
        }
    }
    fLastChaseHostTime.exchange(mach_absolute_time());
}

void SA_DeviceUSB::ReadInputData(AudioObjectID streamID, UInt32 frames, Float64 sampleTime, void* buffer,
                                 UInt32 bufferChannels)
{
    const UInt32 in = fInNumCh;
    if (streamID != fInputStreamID || in == 0 || fInRequestBlocks == nullptr || bufferChannels < in) {
        return;
    }
    fIOThreadChases = true;
    auto* out = static_cast<float*>(buffer);
    std::unique_lock<std::recursive_mutex> lock(fChaseLock, std::try_to_lock);
    if (!lock.owns_lock()) {
        // The chase timer is writing the chase buffer right now, up to where this cycle would
        // read: the cycle gets silence rather than frames half written.
        LOG_THREAD_POST(fLog.get(), "ReadInputData - chase lock contention detected");
        std::memset(out, 0, std::size_t(frames) * bufferChannels * sizeof(float));
        return;
    }
    // The copy out stays under the lock, so the timer's next chase writes only after it.
    ChaseInput();
    const UInt64 period = fZeroTimeSamplePeriod;
    const UInt64 first = RingFrame(sampleTime, fBufferSyncOffsetSamples, period);
    const float* chase = fChaseBuffer.get();
    const float* loopback = fLoopbackBuffer.get();
    const bool extra = fExtraInputChannels != 0 && bufferChannels >= in + 2;
    for (UInt32 frame = 0; frame < frames; ++frame) {
        const UInt64 at = (first + frame) % period;
        float* target = out + std::size_t(frame) * bufferChannels;
        std::memcpy(target, chase + at * in, in * sizeof(float));
        if (extra) {
            target[in] = loopback[at * 2];
            target[in + 1] = loopback[at * 2 + 1];
            for (UInt32 channel = in + 2; channel < bufferChannels; ++channel) {
                target[channel] = 0;
            }
        }
    }
    if (extra) {
        for (UInt32 frame = 0; frame < frames; ++frame) {
            float* ch = out + std::size_t(frame) * bufferChannels;
            switch (bufferChannels) {
            case 6: {
                const float mix = (ch[0] + ch[1]) * 0.5f;
                ch[4] = ch[2] + mix;
                ch[5] = mix + ch[3];
                break;
            }
            case 8: {
                const float mix = (ch[0] + ch[1]) * 0.5f;
                ch[6] = ch[2] + mix + ch[4];
                ch[7] = mix + ch[3] + ch[5];
                break;
            }
            case 10: {
                const float mix = (ch[0] + ch[1] + ch[2] + ch[3]) * 0.5f;
                ch[8] = ch[4] + mix + ch[6];
                ch[9] = mix + ch[5] + ch[7];
                break;
            }
            default:
                break;
            }
        }
    }
    const UInt32 muted = fInputMuteMask;
    for (UInt32 channel = 0; channel < bufferChannels && channel < kMaxChannels; ++channel) {
        if ((muted & (1u << channel)) == 0) {
            continue;
        }
        for (UInt32 frame = 0; frame < frames; ++frame) {
            out[std::size_t(frame) * bufferChannels + channel] = 0;
        }
    }
}
