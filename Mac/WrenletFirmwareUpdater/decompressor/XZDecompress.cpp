#include "XZDecompress.h"

#include <lzma.h>

#include <cstdlib>
#include <memory>

std::optional<std::vector<uint8_t>> XZDecompress(std::span<const uint8_t> input, size_t outputLimit,
                                                 uint64_t memoryLimit)
{
    // Zero-filled pages straight from the system: what the stream does not write is never touched.
    const std::unique_ptr<uint8_t, decltype(&std::free)> output(
        static_cast<uint8_t*>(std::calloc(outputLimit, 1)), &std::free);
    if (!output) {
        return std::nullopt;
    }
    uint64_t limit = memoryLimit;
    size_t inPosition = 0;
    size_t outPosition = 0;
    const lzma_ret result = lzma_stream_buffer_decode(&limit, 0, nullptr, input.data(), &inPosition,
                                                      input.size(), output.get(), &outPosition, outputLimit);
    if (result != LZMA_OK) {
        return std::nullopt;
    }
    return std::vector<uint8_t>(output.get(), output.get() + outPosition);
}
