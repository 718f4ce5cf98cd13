#pragma once

// The simulated unit's firmware image format: a header (magic, image length, version text, CRC-32)
// followed by filler. The run-mode firmware boots only from a valid image and reports its version.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Wrenlet {

namespace FirmwareImage {

constexpr uint32_t kMagic = 0x464E5257; // "WRNF" little-endian
constexpr size_t kVersionLength = 16;
// magic, length, version text, CRC-32
constexpr size_t kHeaderSize = 4 + 4 + kVersionLength + 4;

// An image of `size` bytes (at least kHeaderSize) carrying `version` (cut to 15 characters).
std::vector<uint8_t> build(const std::string& version, size_t size);

// The image's version when the flash (or any byte range) starts with a valid image: its magic,
// its length (which must fit) and its CRC agree.
std::optional<std::string> validVersion(std::span<const uint8_t> bytes);

} // namespace FirmwareImage

} // namespace Wrenlet
