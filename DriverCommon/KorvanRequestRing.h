#pragma once

// Every access to ring memory that another side may touch at the same time goes through these
// helpers: the driver and the USB controller write the ring while the plug-in reads it, without
// locks. 64-bit header and chase fields are 8-byte aligned and accessed as atomics; packet headers
// and the stale pattern can sit at any alignment (the stride is the max packet size), so they are
// accessed byte by byte.

#include "KorvanDeviceIO.h"

#include <atomic>
#include <mach/mach_time.h>

namespace KorvanDeviceIO {

// A position in a ring, local to one process.
struct USBRequestIter
{
    USBRequestBlock* fRingBase = nullptr;
    USBRequestBlock* fBlock = nullptr;
    uint32_t fPacketIndex = 0;
    uint32_t fPacketStride = 0;

    // One packet on: after the last packet of a block comes the first of the next, after the last
    // block the first. An iterator without a block stays where it is.
    USBRequestIter next() const
    {
        USBRequestIter result = *this;
        if (!fBlock) {
            return result;
        }
        if (fPacketIndex + 1 < kPacketsPerBlock) {
            ++result.fPacketIndex;
            return result;
        }
        result.fPacketIndex = 0;
        result.fBlock = blockNumber() + 1 < kRequestBlockCount ? fBlock + 1 : fRingBase;
        return result;
    }

    std::size_t blockNumber() const { return static_cast<std::size_t>(fBlock - fRingBase); }
    uint8_t* packet() const { return fBlock->fBuffer + std::size_t(fPacketIndex) * fPacketStride; }
};

namespace RingDetail {

inline uint64_t load(const uint64_t& field, std::memory_order order)
{
    return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(field)).load(order);
}

inline void store(uint64_t& field, uint64_t value, std::memory_order order)
{
    std::atomic_ref<uint64_t>(field).store(value, order);
}

} // namespace RingDetail

// The four fields a driver writes into a block when it submits the block's request.
struct BlockHeader
{
    uint64_t fHostTime;
    uint64_t fMicroframe;
    uint64_t fStartByteCount;
    uint64_t fEndByteCount;

    bool operator==(const BlockHeader&) const = default;
};

// The host time goes last with release ordering and is read first with acquire ordering, so a
// reader that sees a block's new host time also sees the counts written with it.
inline void WriteBlockHeader(USBRequestBlock& block, const BlockHeader& header)
{
    RingDetail::store(block.fStartByteCount, header.fStartByteCount, std::memory_order_relaxed);
    RingDetail::store(block.fEndByteCount, header.fEndByteCount, std::memory_order_relaxed);
    RingDetail::store(block.fMicroframe, header.fMicroframe, std::memory_order_relaxed);
    RingDetail::store(block.fHostTime, header.fHostTime, std::memory_order_release);
}

inline BlockHeader ReadBlockHeader(const USBRequestBlock& block)
{
    BlockHeader header;
    header.fHostTime = RingDetail::load(block.fHostTime, std::memory_order_acquire);
    header.fMicroframe = RingDetail::load(block.fMicroframe, std::memory_order_relaxed);
    header.fStartByteCount = RingDetail::load(block.fStartByteCount, std::memory_order_relaxed);
    header.fEndByteCount = RingDetail::load(block.fEndByteCount, std::memory_order_relaxed);
    return header;
}

// Packet headers are stored after the samples with release ordering and loaded with acquire
// ordering: a reader that sees a new header also sees the samples written before it.
inline IsocPacketHeader ReadPacketHeader(const uint8_t* packet)
{
    uint8_t bytes[kIsocPacketHeaderBytes];
    for (std::size_t i = 0; i < kIsocPacketHeaderBytes; ++i) {
        bytes[i] = __atomic_load_n(packet + i, __ATOMIC_ACQUIRE);
    }
    IsocPacketHeader header;
    std::memcpy(&header, bytes, sizeof header);
    return header;
}

inline void WritePacketHeader(uint8_t* packet, const IsocPacketHeader& header)
{
    uint8_t bytes[kIsocPacketHeaderBytes];
    std::memcpy(bytes, &header, sizeof header);
    for (std::size_t i = 0; i < kIsocPacketHeaderBytes; ++i) {
        __atomic_store_n(packet + i, bytes[i], __ATOMIC_RELEASE);
    }
}

inline bool operator==(const IsocPacketHeader& a, const IsocPacketHeader& b)
{
    return a.totalNumSampleFramesSent == b.totalNumSampleFramesSent &&
           a.numSampleFramesThisPacket == b.numSampleFramesThisPacket;
}

// True when the first 8 bytes are all 0xAA: nothing has been written there since it was consumed.
inline bool HoldsStalePattern(const uint8_t* bytes)
{
    for (std::size_t i = 0; i < kStalePatternBytes; ++i) {
        if (__atomic_load_n(bytes + i, __ATOMIC_ACQUIRE) != kStalePacketByte) {
            return false;
        }
    }
    return true;
}

inline void FillStale(uint8_t* packet, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i) {
        __atomic_store_n(packet + i, kStalePacketByte, __ATOMIC_RELAXED);
    }
}

inline ChaseRecord& RecordOf(const USBRequestIter& it, Driver side)
{
    return it.fBlock->fChase[static_cast<std::size_t>(side)];
}

// Whether the controller has written the packet since its owner last consumed it.
inline bool IsPacketFresh(const USBRequestIter& it, Driver side, bool headersOn)
{
    if (!headersOn) {
        return !HoldsStalePattern(it.packet());
    }
    const IsocPacketHeader header = ReadPacketHeader(it.packet());
    if (header.totalNumSampleFramesSent == 0 && header.numSampleFramesThisPacket == 0) {
        return false;
    }
    return !(header == RecordOf(it, side).fPacketHeaders[it.fPacketIndex]);
}

// The other side reads a record's lengths once it has read the published chase position, so a
// length is stored before the publication that follows it.
inline void StorePacketLength(const USBRequestIter& it, Driver side, uint32_t bytes)
{
    std::atomic_ref<uint32_t>(RecordOf(it, side).fPacketLengths[it.fPacketIndex])
        .store(bytes, std::memory_order_relaxed);
}

inline uint32_t LoadPacketLength(const ChaseRecord& record, std::size_t packetIndex)
{
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(record.fPacketLengths[packetIndex]))
        .load(std::memory_order_relaxed);
}

// Publishes the owner's progress to the other side: now, and the block's microframe plus the index.
inline void PublishChase(const USBRequestIter& it, Driver side)
{
    ChaseRecord& record = RecordOf(it, side);
    const uint64_t microframe = RingDetail::load(it.fBlock->fMicroframe, std::memory_order_relaxed);
    std::atomic_ref<uint64_t>(record.fChaseHostTime).exchange(mach_absolute_time());
    std::atomic_ref<uint64_t>(record.fChaseMicroframe).exchange(microframe + it.fPacketIndex);
}

struct ChasePosition
{
    uint64_t fHostTime;
    uint64_t fMicroframe;

    bool operator==(const ChasePosition&) const = default;
};

// The two fields are published one after the other, so a reader takes the pair only once two
// successive reads agree.
inline ChasePosition ReadChasePosition(const ChaseRecord& record)
{
    auto readOnce = [&record] {
        return ChasePosition{RingDetail::load(record.fChaseHostTime, std::memory_order_acquire),
                             RingDetail::load(record.fChaseMicroframe, std::memory_order_acquire)};
    };
    ChasePosition previous = readOnce();
    for (;;) {
        const ChasePosition current = readOnce();
        if (current == previous) {
            return current;
        }
        previous = current;
    }
}

// Records a packet as consumed by its owner and publishes the owner's progress. With headers the
// packet's header goes into the record; without, the packet is refilled with the stale pattern.
// Either way it is no longer a dropped packet.
inline void ConsumePacket(const USBRequestIter& it, Driver side, bool headersOn)
{
    ChaseRecord& record = RecordOf(it, side);
    if (headersOn) {
        record.fPacketHeaders[it.fPacketIndex] = ReadPacketHeader(it.packet());
    } else {
        FillStale(it.packet(), it.fPacketStride);
    }
    record.fDropped[it.fPacketIndex] = 0;
    PublishChase(it, side);
}

// Before audio starts: with headers the whole ring starts zeroed; without, every packet area holds
// the stale pattern and the block headers are left to the driver.
inline void PrepareInputRing(USBRequestBlock* ring, bool headersOn)
{
    if (headersOn) {
        std::memset(static_cast<void*>(ring), 0, kRequestRingSizeBytes);
        return;
    }
    for (std::size_t block = 0; block < kRequestBlockCount; ++block) {
        std::memset(ring[block].fBuffer, kStalePacketByte, kRequestDataSizeBytes);
    }
}

} // namespace KorvanDeviceIO
