#include "DextTestSupport.h"

#include <OutputRequestSizes.h>

#include <KorvanDeviceIO.h>

#include <DarwinTesting/LogCapture.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

using KorvanDeviceIO::kPacketsPerBlock;

struct SizeCase
{
    const char* name;
    uint32_t completeCount; // of every input microframe
    StreamFormat format;
    uint32_t requestCount;     // of the first output microframe
    uint32_t lastRequestCount; // of the last
    uint64_t inputBytesEach;   // counted per input microframe
    bool capped;
};

class DextOutputRequestSizes : public testing::TestWithParam<SizeCase>
{};

TEST_P(DextOutputRequestSizes, FollowTheFramesThatArrived)
{
    DarwinTesting::LogCapture capture;
    const SizeCase& c = GetParam();
    std::vector<IOUSBIsochronousFrame> input(kPacketsPerBlock,
                                             IOUSBIsochronousFrame{0, 0, c.completeCount, 0, 0});
    std::vector<IOUSBIsochronousFrame> output(kPacketsPerBlock, IOUSBIsochronousFrame{1, 1, 1, 0, 0});

    const OutputRequestSizes sizes = SizeOutputRequest(input.data(), output.data(), c.format, 7);

    EXPECT_EQ(output[0].requestCount, c.requestCount);
    EXPECT_EQ(output[kPacketsPerBlock - 1].requestCount, c.lastRequestCount);
    EXPECT_EQ(output[0].completeCount, 0u);
    EXPECT_EQ(output[0].status, kIOReturnSuccess);
    EXPECT_EQ(sizes.inputBytes, c.inputBytesEach * kPacketsPerBlock);
    uint64_t total = 0;
    for (const IOUSBIsochronousFrame& entry : output) {
        total += entry.requestCount;
    }
    EXPECT_EQ(sizes.outputBytes, total);
    EXPECT_LE(total, KorvanDeviceIO::kRequestDataSizeBytes);
    EXPECT_EQ(DextTesting::logged(capture, "Isoc out request 7 capped"), c.capped);
    EXPECT_EQ(DextTesting::countLines(capture, "!!! Isoc out request 7["),
              c.requestCount == 0 ? kPacketsPerBlock : 0);
}

INSTANTIATE_TEST_SUITE_P(
    DextPackets, DextOutputRequestSizes,
    testing::Values(
        // Six frames of 24 bytes in, 16 bytes a frame out.
        SizeCase{"SixFrames", 5 + 6 * 24, {24, 16, 1024, true}, 96, 96, 144, false},
        // Without headers the packet is all frames.
        SizeCase{"WithoutHeaders", 6 * 24, {24, 16, 1024, false}, 96, 96, 144, false},
        // A 5-byte header is no frame, whatever the frame size.
        SizeCase{"HeaderIsNoFrame", 5 + 1 * 4, {4, 16, 1024, true}, 16, 16, 4, false},
        SizeCase{"OnlyAHeader", 5, {4, 16, 1024, true}, 0, 0, 0, false},
        SizeCase{"ShorterThanAHeader", 3, {4, 16, 1024, true}, 0, 0, 0, false},
        // More frames than the output endpoint carries.
        SizeCase{"EndpointBound", 5 + 70 * 8, {8, 88, 616, true}, 616, 616, 560, true},
        // More than the block holds: the endpoint allows it, the data area does not, so the last
        // microframe gets what is left.
        SizeCase{"BlockBound", 5 + 384 * 8, {8, 120, 3600, true}, 3600, 574240 - 159 * 3600, 3072, true}),
    [](const testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

} // namespace
