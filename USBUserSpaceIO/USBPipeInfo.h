#pragma once

// One pipe of an opened interface as callers see it: the endpoint address (bit 7 set for input)
// and its maximum packet size.

#include <cstdint>

struct USBPipeInfo
{
    uint8_t address = 0;
    uint16_t maxPacketSize = 0;

    bool operator==(const USBPipeInfo&) const = default;
};
