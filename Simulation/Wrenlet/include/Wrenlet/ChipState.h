#pragma once

// What the Wrenlet's microcontroller keeps across power cycles: the flash, the user signature, the
// GPNVM bits and the lock bits.

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Wrenlet {

constexpr uint32_t kFlashBase = 0x400000;
constexpr size_t kFlashSize = 2048 * 1024;
constexpr size_t kPageSize = 512;
constexpr size_t kPageCount = kFlashSize / kPageSize;
constexpr size_t kLockRegionSize = 16 * 1024;
constexpr size_t kLockRegionCount = kFlashSize / kLockRegionSize;
constexpr size_t kUserSignatureSize = 512;
constexpr int kBootFromFlashBit = 1;

struct ChipState
{
    std::vector<uint8_t> flash = std::vector<uint8_t>(kFlashSize, 0xFF);
    std::vector<uint8_t> userSignature = std::vector<uint8_t>(kUserSignatureSize, 0xFF);
    uint32_t gpnvm = 0;
    std::bitset<kLockRegionCount> lockBits;

    bool bootFromFlash() const { return (gpnvm >> kBootFromFlashBit) & 1; }
};

} // namespace Wrenlet
