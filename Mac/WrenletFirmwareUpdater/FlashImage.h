#pragma once

// How a flash image meets the flash: by words, the last one padded with 0xFF (the erased value),
// and progress as a percentage that an empty image reports as done.

#include <cstddef>
#include <cstdint>
#include <span>

namespace FlashImage {

inline uint32_t Word(std::span<const uint8_t> data, size_t offset)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t byte = offset + i < data.size() ? data[offset + i] : 0xFF;
        value |= uint32_t(byte) << (8 * i);
    }
    return value;
}

inline int Progress(size_t done, size_t size)
{
    return size == 0 ? 100 : int(done * 100 / size);
}

} // namespace FlashImage
