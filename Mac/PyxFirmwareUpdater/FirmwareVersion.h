#pragma once

// The firmware version in the 64-byte header at the start of every run image and of the device's
// stored image: three little-endian u32 at offsets 12, 16 and 20 and 12 build bytes at 24.

#include <array>
#include <cstdint>
#include <span>
#include <string>

using FirmwareHeader = std::array<uint8_t, 64>;

struct FirmwareVersion
{
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t patch = 0;
    std::array<char, 12> build{};

    FirmwareVersion() = default;
    explicit FirmwareVersion(const FirmwareHeader& header);
    // All zeros when `image` is shorter than a header.
    static FirmwareVersion fromImage(std::span<const uint8_t> image);

    // "major.minor.patch+" and the 12 build bytes as they stand, zero bytes included.
    std::string toString() const;
};
