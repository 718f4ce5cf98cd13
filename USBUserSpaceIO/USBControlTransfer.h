#pragma once

// A control request as callers fill it in; `transferred` is set only when the transfer succeeds.

#include <cstdint>

struct USBControlTransfer
{
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    void* data = nullptr;
    uint32_t transferred = 0;
};
