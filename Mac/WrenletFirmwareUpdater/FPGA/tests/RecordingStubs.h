// The player's stubs for its tests: every primitive call, message, delay and export is recorded, TDO
// comes from a script, and allocations can be bounded.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct JtagCall
{
    int tms;
    bool tdi; // as zero or non-zero
    bool read;
    bool operator==(const JtagCall&) const = default;
};

struct Recording
{
    std::vector<JtagCall> calls;
    std::vector<int> rawTdi;
    std::vector<std::string> messages;
    std::vector<int64_t> delays;
    std::vector<std::pair<std::string, int64_t>> integers;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> booleanArrays;
    std::deque<int> tdo;               // answers to reads, then 0
    uint64_t cancelAfter = UINT64_MAX; // jbi_cancelled answers true from this many checks on
    uint64_t cancelChecks = 0;
    uint64_t allocationLimit = UINT64_MAX; // bytes
    uint64_t allocated = 0;
    int64_t liveAllocations = 0;

    // Scripts the answers to reads: the bits of value, least-significant first.
    void answer(uint64_t value, int bits);
};

// The stubs record here; a test fixture resets it.
extern Recording gRecording;
