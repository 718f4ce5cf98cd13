#pragma once

// Walking the input ring behind the USB controller: finding the next fresh packet, recognising
// isochronous packets that never arrived, and repairing the owner's bookkeeping so the chase goes
// on past them without losing the sample count. The plug-in and the driver extension each build it
// over their own chase record; it runs on real-time threads, so it never blocks or allocates and
// reports only through its logger type.

#include "KorvanRequestRing.h"

#include <RealTimeLog.h>

namespace KorvanDeviceIO {

// The driver extension's logger: it carries no log, so every message is dropped unformatted.
struct NoOpLogThread
{
    template <class Location, class... Args>
    void PostMessage(const char*, const Args&...)
    {}
};

template <Driver D, class log_thread_t>
class USBInputChaser
{
public:
    USBInputChaser(uint32_t maxPacketSize, uint32_t inBytesPerSampleFrame, bool streamingHeadersEnabled,
                   uint8_t streamingHeadersVersion, log_thread_t* log)
        : fMaxPacketSize(maxPacketSize), fInBytesPerSampleFrame(inBytesPerSampleFrame),
          fStreamingHeadersEnabled(streamingHeadersEnabled),
          fStreamingHeadersVersion(streamingHeadersVersion), fLog(log)
    {}

    // The first fresh packet after `start` within `count` packets, and how far it lies.
    bool FindNextFreshIsocIn(const USBRequestIter& start, int count, USBRequestIter& next,
                             int& distance) const
    {
        if (count <= 0 || !fits(start)) {
            return false;
        }
        // Beyond one whole ring a scan would only revisit the same packets.
        const int limit = count < int(kPacketsPerRing) ? count : int(kPacketsPerRing);
        USBRequestIter it = start;
        for (int travelled = 1; travelled <= limit; ++travelled) {
            it = it.next();
            if (isFresh(it)) {
                next = it;
                distance = travelled;
                return true;
            }
        }
        return false;
    }

    // Searches for the end of a stretch of dropped packets: `nextGood` is the first fresh packet
    // after `start`, the first that arrived after the stretch, and its frames are the device's next
    // ones. With version 2 the stale packets from `start` on are flagged. `numPacketsDropped` is
    // `start`'s distance to `nextGood`: the packets between the last good one and it.
    bool didIsocInGetDropped(const USBRequestIter& start, int count, USBRequestIter& nextGood,
                             int& numPacketsDropped) const
    {
        if (fStreamingHeadersVersion == 1) {
            return FindNextFreshIsocIn(start, count, nextGood, numPacketsDropped);
        }
        if (count <= 0 || count >= int(kPacketsPerRing) || !fits(start)) {
            return false;
        }
        USBRequestIter fresh;
        int distance = 0;
        if (!FindNextFreshIsocIn(start, count, fresh, distance)) {
            return false;
        }
        USBRequestIter stale = start;
        for (int packet = 0; packet < distance; ++packet, stale = stale.next()) {
            RecordOf(stale, D).fDropped[stale.fPacketIndex] = 1;
        }
        nextGood = fresh;
        numPacketsDropped = distance;
        return true;
    }

    // A search made while the controller writes may meet a packet just before it arrives and take
    // it for lost, or meet the stretch's end half written. The controller fills packets in order, so
    // once a packet after `nextGood` has arrived, every packet up to it is written whole or lost for
    // good, and a second search over them finds the stretch as it stays. False while nothing has
    // arrived after `nextGood` yet, or when `start` turns out to have arrived after all.
    bool SettleDroppedStretch(const USBRequestIter& start, int count, USBRequestIter& nextGood,
                              int& numPacketsDropped) const
    {
        if (numPacketsDropped <= 0 || !IsNextGoodWhole(nextGood, unsigned(numPacketsDropped)) ||
            isFresh(start)) {
            return false;
        }
        return didIsocInGetDropped(start, count, nextGood, numPacketsDropped);
    }

    // Spreads the frames that went missing over the dropped packets after `start`, the last
    // remainder packets one frame more, and records each as consumed.
    void setTransferLengthsForDroppedInputPackets(const USBRequestIter& start, int numPacketsDropped,
                                                  int64_t totalNumSampleFrames) const
    {
        LOG_THREAD_POST(fLog, "%s - totalNumSampleFrames = %lld\n",
                        "setTransferLengthsForDroppedInputPackets",
                        static_cast<long long>(totalNumSampleFrames));
        LOG_THREAD_ASSERT(fLog,
                          fInBytesPerSampleFrame and totalNumSampleFrames > 0 and numPacketsDropped > 0);
        // A negative total would turn into huge lengths, and a stretch longer than the ring into an
        // unbounded loop on a real-time thread; no caller sends either, but none is trusted.
        if (fInBytesPerSampleFrame == 0 || numPacketsDropped <= 0 ||
            numPacketsDropped > int(kPacketsPerRing) || totalNumSampleFrames < 0 || !fits(start)) {
            return;
        }
        const long long nominal = totalNumSampleFrames / numPacketsDropped;
        const long long remainder = totalNumSampleFrames % numPacketsDropped;
        LOG_THREAD_POST(fLog, "%s - nominalSampleFramesPerPacket = %lld\n",
                        "setTransferLengthsForDroppedInputPackets", nominal);

        long long numSampleFramesToSchedule = totalNumSampleFrames;
        USBRequestIter it = start;
        for (int packetsLeft = numPacketsDropped; packetsLeft > 0; --packetsLeft) {
            it = it.next();
            long long numSampleFrames = nominal + (remainder >= packetsLeft ? 1 : 0);
            if (numSampleFrames > numSampleFramesToSchedule) {
                numSampleFrames = numSampleFramesToSchedule;
            }
            numSampleFramesToSchedule -= numSampleFrames;
            LOG_THREAD_ASSERT(fLog, numSampleFrames > 0);

            const auto bytes = static_cast<uint32_t>(numSampleFrames * fInBytesPerSampleFrame + kHeaderBytes);
            StorePacketLength(it, D, bytes);
            LOG_THREAD_POST(
                fLog,
                "Request %p index %u: numSampleFrames: %lld (%u bytes), numSampleFramesToSchedule: "
                "%lld, packetsLeft: %d\n",
                static_cast<const void*>(it.fBlock), it.fPacketIndex, numSampleFrames, bytes,
                numSampleFramesToSchedule, packetsLeft);
            if (RecordOf(it, D).fDropped[it.fPacketIndex]) {
                ConsumePacket(it, D, fStreamingHeadersEnabled);
            } else {
                PublishChase(it, D);
            }
        }
        LOG_THREAD_ASSERT(fLog, numSampleFramesToSchedule == 0);
    }

    // Repairs a dropped stretch between `lastGood` and `nextGood`, as SettleDroppedStretch gives it,
    // once nextGood's header is whole. Everything is checked before anything is touched: a repair
    // that fails copies nothing and changes no counter or record, so the caller may simply try
    // again at its next pass.
    template <class CopyToChaseBufferCallable>
    bool handleDroppedIsoc(CopyToChaseBufferCallable&& copy, const USBRequestIter& lastGood,
                           const USBRequestIter& nextGood, unsigned num_uFramesDropped,
                           int64_t& fInSampleFramesChased, int64_t& sampleFramesDroppedOut) const
    {
        // No stretch of dropped packets is longer than the ring.
        if (!fStreamingHeadersEnabled || !nextGood.fRingBase || !fits(nextGood) || !fits(lastGood) ||
            num_uFramesDropped > kPacketsPerRing) {
            return false;
        }
        if (!IsNextGoodWhole(nextGood, num_uFramesDropped)) {
            return false;
        }
        const IsocPacketHeader prev = ReadPacketHeader(lastGood.packet());
        const IsocPacketHeader next = ReadPacketHeader(nextGood.packet());

        uint32_t bytes = uint32_t(prev.numSampleFramesThisPacket) * fInBytesPerSampleFrame;
        if (bytes > fMaxPacketSize - kHeaderBytes) {
            LOG_THREAD_POST(fLog, "Error - isoc in packet header invalid: (%u, %u) max packet size: %u\n",
                            unsigned(prev.totalNumSampleFramesSent), unsigned(prev.numSampleFramesThisPacket),
                            fMaxPacketSize);
            bytes = fMaxPacketSize - kHeaderBytes;
        }
        if (fInSampleFramesChased != 0 &&
            uint32_t(uint64_t(fInSampleFramesChased) + prev.numSampleFramesThisPacket) !=
                prev.totalNumSampleFramesSent) {
            LOG_THREAD_POST(fLog, "!!! fInSampleFramesChased: %lld, packet header: (%u, %u)\n",
                            static_cast<long long>(fInSampleFramesChased),
                            unsigned(prev.totalNumSampleFramesSent),
                            unsigned(prev.numSampleFramesThisPacket));
        }

        const long long samplesBeforeDrop = prev.totalNumSampleFramesSent;
        long long samplesAfterDrop = next.totalNumSampleFramesSent;
        if (samplesAfterDrop < samplesBeforeDrop) {
            LOG_THREAD_POST(fLog, "running sample count wrapped!\n");
            samplesAfterDrop += 1LL << 32;
        }
        samplesAfterDrop -= next.numSampleFramesThisPacket;
        if (samplesAfterDrop < 0) {
            LOG_THREAD_POST(fLog,
                            "!! Chase isoc - invalid state detected: prev_uFrameHeader: (%u, %u), "
                            "next_uFrameHeader: (%u, %u), num samples before drop: %lld, num samples after "
                            "drop: %lld\n",
                            unsigned(prev.totalNumSampleFramesSent), unsigned(prev.numSampleFramesThisPacket),
                            unsigned(next.totalNumSampleFramesSent), unsigned(next.numSampleFramesThisPacket),
                            samplesBeforeDrop, samplesAfterDrop);
            return false;
        }

        const long long sampleFramesDropped = samplesAfterDrop - samplesBeforeDrop;
        LOG_THREAD_ASSERT(fLog, sampleFramesDropped > 0);
        LOG_THREAD_ASSERT(fLog, (sampleFramesDropped * fInBytesPerSampleFrame) <=
                                    num_uFramesDropped * fMaxPacketSize);
        if (sampleFramesDropped <= 0 ||
            sampleFramesDropped * fInBytesPerSampleFrame > num_uFramesDropped * fMaxPacketSize) {
            LOG_THREAD_POST(
                fLog,
                "!! Calculation error: sampleFramesDropped: %lld num_uFramesDropped: %lld, samples "
                "before drop: %lld, samples after drop: %lld, headers: (%u, %u)->(%u, %u)\n",
                sampleFramesDropped, static_cast<long long>(num_uFramesDropped), samplesBeforeDrop,
                samplesAfterDrop, unsigned(prev.totalNumSampleFramesSent),
                unsigned(prev.numSampleFramesThisPacket), unsigned(next.totalNumSampleFramesSent),
                unsigned(next.numSampleFramesThisPacket));
            return false;
        }

        copy(lastGood.packet() + kHeaderBytes, bytes);
        fInSampleFramesChased = prev.totalNumSampleFramesSent;
        StorePacketLength(lastGood, D, bytes + kHeaderBytes);
        ConsumePacket(lastGood, D, true);
        sampleFramesDroppedOut = sampleFramesDropped;
        setTransferLengthsForDroppedInputPackets(lastGood, int(num_uFramesDropped), sampleFramesDropped);
        return true;
    }

    uint32_t fMaxPacketSize;
    uint32_t fInBytesPerSampleFrame;
    bool fStreamingHeadersEnabled;
    uint8_t fStreamingHeadersVersion;
    log_thread_t* fLog;

private:
    static constexpr uint32_t kHeaderBytes = kIsocPacketHeaderBytes;

    bool isFresh(const USBRequestIter& it) const { return IsPacketFresh(it, D, fStreamingHeadersEnabled); }

    // A packet's header is written byte by byte: the newest packet's may be half old, half new, and
    // carry a count the device never sent. The controller fills packets in order, so nextGood's
    // header is whole once a later packet has arrived. nextGood lies numPacketsDropped + 1 packets
    // after the last good one, and the search stops short of that, fresh until consumed.
    bool IsNextGoodWhole(const USBRequestIter& nextGood, unsigned numPacketsDropped) const
    {
        USBRequestIter later;
        int distance = 0;
        return numPacketsDropped + 2 < kPacketsPerRing &&
               FindNextFreshIsocIn(nextGood, int(kPacketsPerRing - 2 - numPacketsDropped), later, distance);
    }

    // The max packet size comes from the device's descriptors. The chaser touches the ring only with
    // a stride that keeps 160 packets inside a block and holds a header or the stale pattern, and
    // with a frame that fits in a packet.
    bool fits(const USBRequestIter& it) const
    {
        return it.fBlock && it.fPacketStride == fMaxPacketSize && fMaxPacketSize >= kStalePatternBytes &&
               fMaxPacketSize <= kMaxPacketStrideBytes && fInBytesPerSampleFrame <= fMaxPacketSize;
    }
};

} // namespace KorvanDeviceIO
