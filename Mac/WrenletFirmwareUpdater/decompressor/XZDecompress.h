// Single-call decoding of an xz stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The container's decoded-size ceiling and the decoder's memory ceiling.
constexpr size_t kXZOutputLimit = 0x4000000;
constexpr uint64_t kXZMemoryLimit = 128ull << 20;

// The decoded bytes of the whole input when it is one complete xz stream (any integrity check) with
// nothing after it, that decodes to at most outputLimit bytes within memoryLimit; nothing otherwise.
std::optional<std::vector<uint8_t>> XZDecompress(std::span<const uint8_t> input,
                                                 size_t outputLimit = kXZOutputLimit,
                                                 uint64_t memoryLimit = kXZMemoryLimit);
