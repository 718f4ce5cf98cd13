#pragma once

// A block of whole pages from the task's virtual memory: a 16-byte header (the pool queue's link
// and the payload size) followed by the payload.

#include <cstddef>
#include <cstdint>

struct SnarlGlobalBlock
{
    // The payload of a pooled block: with the header exactly 13 pages of 4096 bytes.
    static constexpr uint64_t kPooledSize = 53232;

    // Null when the system refuses the pages.
    static SnarlGlobalBlock* Make(uint64_t size);
    static void Destroy(SnarlGlobalBlock* block);
    static SnarlGlobalBlock* Convert(void* payload) { return static_cast<SnarlGlobalBlock*>(payload) - 1; }

    void* Payload() { return this + 1; }
    // The pages the block spans, header included.
    static uint64_t MappedSize(uint64_t size);

    SnarlGlobalBlock* link;
    uint64_t size;
};

static_assert(sizeof(SnarlGlobalBlock) == 16);
