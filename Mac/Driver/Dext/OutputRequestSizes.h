#pragma once

// How an output request is sized from a completed input request: each output microframe carries
// the sample frames that arrived in the matching input microframe, bounded by what the output
// endpoint carries and by the block's data area.

#include <USBDriverKit/USBTypes.h>

#include <cstdint>

struct OutputRequestSizes
{
    uint64_t inputBytes;  // the sample bytes of the input request
    uint64_t outputBytes; // the bytes the output request asks for
};

struct StreamFormat
{
    uint32_t inBytesPerFrame;
    uint32_t outBytesPerFrame;
    uint32_t outMaxPacketSize;
    bool headersEnabled;
};

// Fills the 160 entries of `output`; `outIndex` names the request in the log lines.
OutputRequestSizes SizeOutputRequest(const IOUSBIsochronousFrame* input, IOUSBIsochronousFrame* output,
                                     const StreamFormat& format, uint32_t outIndex);
