#include <DeviceReplies.h>

#include <algorithm>

namespace DeviceReplies {

namespace {

constexpr size_t kStateByte = 4;
constexpr uint8_t kStateIdle = 2;

} // namespace

StatusReading readStatus(std::span<const uint8_t> reply, size_t transferred)
{
    if (transferred <= kStateByte || reply.size() <= kStateByte)
        return StatusReading::Unusable;
    return reply[kStateByte] == kStateIdle ? StatusReading::Idle : StatusReading::Busy;
}

BlockCheck checkBlock(std::span<const uint8_t> image, uint64_t offset, std::span<const uint8_t> received,
                      size_t blockSize)
{
    if (received.size() > blockSize || offset > image.size() || received.size() > image.size() - offset)
        return BlockCheck::Mismatch;
    if (!std::equal(received.begin(), received.end(), image.begin() + ptrdiff_t(offset)))
        return BlockCheck::Mismatch;
    if (received.size() == blockSize)
        return BlockCheck::MatchMore;
    return offset + received.size() == image.size() ? BlockCheck::MatchComplete : BlockCheck::Mismatch;
}

} // namespace DeviceReplies
