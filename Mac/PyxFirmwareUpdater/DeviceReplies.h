#pragma once

// How the engine reads the unit's answers: the status reply after each written block, and each
// block read back against the image.

#include <cstddef>
#include <cstdint>
#include <span>

namespace DeviceReplies {

enum class StatusReading
{
    // Too short to hold the state byte.
    Unusable,
    Busy,
    Idle,
};

// `transferred` is the length the unit answered; the reply's buffer is zeroed beyond it.
StatusReading readStatus(std::span<const uint8_t> reply, size_t transferred);

// Whether a block read back matched and the whole image has been read back.
enum class BlockCheck
{
    Mismatch,
    MatchMore,
    MatchComplete,
};

// `received` is what the unit answered for the block at `offset` of `image`. Only a short block
// where the image ends completes it; a whole block asks for the next; more than a block is wrong.
BlockCheck checkBlock(std::span<const uint8_t> image, uint64_t offset, std::span<const uint8_t> received,
                      size_t blockSize);

} // namespace DeviceReplies
