#include "OutputRequestSizes.h"

#include "DextReport.h"

#include <KorvanDeviceIO.h>

using namespace KorvanDeviceIO;

OutputRequestSizes SizeOutputRequest(const IOUSBIsochronousFrame* input, IOUSBIsochronousFrame* output,
                                     const StreamFormat& format, uint32_t outIndex)
{
    OutputRequestSizes sizes{0, 0};
    bool capped = false;
    for (uint32_t i = 0; i < kPacketsPerBlock; ++i) {
        const uint32_t completeCount = input[i].completeCount;
        uint32_t frames;
        if (format.headersEnabled) {
            // The streaming header is not a frame.
            frames = completeCount >= kIsocPacketHeaderBytes
                         ? (completeCount - uint32_t(kIsocPacketHeaderBytes)) / format.inBytesPerFrame
                         : 0;
        } else {
            frames = completeCount / format.inBytesPerFrame;
        }
        sizes.inputBytes += uint64_t(frames) * format.inBytesPerFrame;
        uint64_t requestCount = uint64_t(frames) * format.outBytesPerFrame;
        // The controller takes no more than the endpoint carries, nor more than the block holds.
        if (requestCount > format.outMaxPacketSize) {
            requestCount = format.outMaxPacketSize;
            capped = true;
        }
        if (sizes.outputBytes + requestCount > kRequestDataSizeBytes) {
            requestCount = kRequestDataSizeBytes - sizes.outputBytes;
            capped = true;
        }
        sizes.outputBytes += requestCount;
        output[i].status = kIOReturnSuccess;
        output[i].completeCount = 0;
        output[i].requestCount = static_cast<uint32_t>(requestCount);
        if (requestCount == 0) {
            DextLog("!!! Isoc out request %d[%d] request count is 0!", outIndex, i);
        }
    }
    if (capped) {
        DextLog("Isoc out request %d capped to the output max packet size %u and the block size", outIndex,
                format.outMaxPacketSize);
    }
    return sizes;
}
