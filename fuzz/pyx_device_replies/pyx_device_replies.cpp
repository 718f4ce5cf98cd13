// What a Pyx in recovery mode may answer the engine. The first byte picks the request: even, a
// status reply (the second byte the length the unit claims, the rest the reply, at most 6 bytes);
// odd, a block read back (the second and third bytes the image's length in the rest, the fourth
// the block's offset in blocks of 16 bytes, the remainder the block). A status reply without its
// state byte is unusable; a block matches only byte for byte, and completes the image only where
// it ends. Every buffer is exactly as long as its bytes, so the address sanitizer sees any read
// beyond.

#include <DeviceReplies.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kBlockSize = 16;

void check(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

void status(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return;
    }
    const size_t claimed = data[0];
    std::vector<uint8_t> reply(data + 1, data + 1 + std::min<size_t>(size - 1, 6));
    const auto reading = DeviceReplies::readStatus(reply, claimed);
    if (claimed < 5 || reply.size() < 5) {
        check(reading == DeviceReplies::StatusReading::Unusable);
        return;
    }
    check(reading ==
          (reply[4] == 2 ? DeviceReplies::StatusReading::Idle : DeviceReplies::StatusReading::Busy));
}

void block(const uint8_t* data, size_t size)
{
    if (size < 3) {
        return;
    }
    const size_t imageLength = std::min<size_t>((size_t(data[0]) << 8 | data[1]), size - 3);
    const uint64_t offset = uint64_t(data[2]) * kBlockSize;
    const std::vector<uint8_t> image(data + 3, data + 3 + imageLength);
    const size_t rest = size - 3 - imageLength;
    const std::vector<uint8_t> received(data + 3 + imageLength,
                                        data + 3 + imageLength + std::min(rest, 2 * kBlockSize));
    const auto result = DeviceReplies::checkBlock(image, offset, received, kBlockSize);
    const bool inside = offset <= image.size() && received.size() <= image.size() - offset;
    const bool equal = inside && std::memcmp(received.data(), image.data() + offset, received.size()) == 0;
    if (result == DeviceReplies::BlockCheck::MatchMore) {
        check(equal && received.size() == kBlockSize);
    } else if (result == DeviceReplies::BlockCheck::MatchComplete) {
        check(equal && received.size() < kBlockSize && offset + received.size() == image.size());
    } else {
        check(!equal || received.size() > kBlockSize ||
              (received.size() < kBlockSize && offset + received.size() != image.size()));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    if (data[0] % 2 == 0) {
        status(data + 1, size - 1);
    } else {
        block(data + 1, size - 1);
    }
    return 0;
}
