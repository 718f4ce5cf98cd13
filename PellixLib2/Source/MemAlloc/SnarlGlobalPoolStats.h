#pragma once

// Counters of the global pool's traffic, safe to bump from any thread.

#include <atomic>
#include <cstdint>

class SnarlGlobalPoolStats
{
public:
    // A size up to a pooled block's counts as pooled, above as large.
    void DemandBlock(uint64_t size);
    void ReturnBlock(uint64_t size);
    void GlobalPoolEmergency() { ++emergencies; }

    std::atomic<uint64_t> pooledDemands{0};
    std::atomic<uint64_t> pooledReturns{0};
    std::atomic<uint64_t> largeDemands{0};
    std::atomic<uint64_t> largeReturns{0};
    std::atomic<uint64_t> bytesDemanded{0};
    std::atomic<uint64_t> bytesReturned{0};
    std::atomic<uint64_t> emergencies{0};
};
