#pragma once

// One entry of the list of devices to find. The identifier travels with each match record and is
// never used for matching.

#include <array>
#include <cstdint>

struct USBMatchingInfo
{
    int32_t idVendor = 0;
    int32_t idProduct = 0;
    std::array<uint8_t, 16> identifier{};
};
