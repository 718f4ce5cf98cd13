#pragma once

// Hands out free command ids of a fixed range and takes them back, so that menu items made at run
// time each carry an id no other item holds. Not for use from several threads at once.

#include <cstdint>
#include <vector>

class CommandIDPool
{
public:
    // The ids first to first + count - 1 (count taken to its low 32 bits); empty when that range is
    // empty or passes 2^32.
    CommandIDPool(unsigned int first, long count);
    virtual ~CommandIDPool() = default;

    // The most recently released id, else the highest free one. On an empty pool throws the
    // library's memory-full error and leaves the pool as it was.
    unsigned int GetNextID();
    // Takes back an id of the range; any other id is refused with a line on standard output. An id
    // released twice would be handed out twice.
    void ReleaseID(unsigned int id);

private:
    // One past the last id; not above the first when the range is empty or passes 2^32.
    uint32_t rangeEnd() const { return fFirst + fCount; }

    // A stack: the last element is handed out next.
    std::vector<uint32_t> fFreeIDs;
    uint32_t fFirst;
    uint32_t fCount;
};
