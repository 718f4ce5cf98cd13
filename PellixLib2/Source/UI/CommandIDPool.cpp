#include "CommandIDPool.h"

#include "Basics/Failure.h"

#include <cstdio>

CommandIDPool::CommandIDPool(unsigned int first, long count)
    : fFirst(first), fCount(static_cast<uint32_t>(count))
{
    const uint32_t end = rangeEnd();
    if (end <= fFirst) {
        return;
    }
    // Room for the ids pushed, not for count: a negative or 64-bit count names far fewer.
    fFreeIDs.reserve(fCount);
    for (uint32_t id = fFirst; id != end; ++id) {
        fFreeIDs.push_back(id);
    }
}

unsigned int CommandIDPool::GetNextID()
{
    if (fFreeIDs.empty()) {
        std::printf("CommandIDPool - cmd pool empty\n");
        Pellix::FailMemFullError();
    }
    const uint32_t id = fFreeIDs.back();
    fFreeIDs.pop_back();
    return id;
}

void CommandIDPool::ReleaseID(unsigned int id)
{
    // A range that is empty or passes 2^32 holds no id, so it takes none back either.
    const uint32_t end = rangeEnd();
    if (end <= fFirst || id < fFirst || id >= end) {
        std::printf("CommandIDPool release invalid cmd %d\n", static_cast<int>(id));
        return;
    }
    fFreeIDs.push_back(id);
}
