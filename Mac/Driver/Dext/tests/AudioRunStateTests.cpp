#include "DextDevice.h"
#include "DextTestSupport.h"

#include <KorvanRequestRing.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/LogCapture.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace KorvanDeviceIO;
using DextTesting::DextDeviceTest;
using KorvanInterface::DescriptorOptions;
using KorvanInterface::Model;

using DextTesting::kError;
constexpr uint8_t kRecord = KorvanInterface::kRecordInterface;
constexpr uint8_t kPlayback = KorvanInterface::kPlaybackInterface;

// Streaming on the real clock against a Wrenlet at 48 kHz: 20 channels in, 22 out, 4-byte subslots.
class DextAudioRunState : public DextDeviceTest
{
protected:
    void SetUp() override
    {
        attach(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor), headerVersion);
        connect = open();
    }

    uint8_t headerVersion = 0;

    IOReturn runState(uint32_t state, uint32_t inInterface = kRecord, uint32_t inAlt = 1,
                      uint32_t inBytes = 80, uint32_t outInterface = kPlayback, uint32_t outAlt = 1,
                      uint32_t outBytes = 88)
    {
        return DextDeviceTest::runState({state, inInterface, inAlt, inBytes, outInterface, outAlt, outBytes});
    }

    IOReturn start(uint32_t inBytes = 80, uint8_t headers = 0)
    {
        return startStreaming({1, kRecord, 1, inBytes, kPlayback, 1, 88}, 0, headers);
    }

    const USBRequestBlock* mapRing(uint32_t type)
    {
        mach_vm_address_t address = 0;
        mach_vm_size_t size = 0;
        EXPECT_EQ(IOConnectMapMemory64(connect, type, mach_task_self(), &address, &size, 1),
                  kIOReturnSuccess);
        return reinterpret_cast<const USBRequestBlock*>(address);
    }

    // Waits until `blocks` output blocks carry headers; fails after the deadline.
    bool waitForOutputBlocks(const USBRequestBlock* ring, size_t blocks)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (ReadBlockHeader(ring[blocks - 1]).fHostTime != 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
};

TEST_F(DextAudioRunState, StreamsUntilStoppedAndGivesTheInterfacesBack)
{
    const USBRequestBlock* in = mapRing(1);
    const USBRequestBlock* out = mapRing(2);
    ASSERT_EQ(start(), kIOReturnSuccess);
    EXPECT_EQ(model->alternate(kRecord), 1);
    EXPECT_EQ(model->alternate(kPlayback), 1);
    EXPECT_EQ(runState(1), kIOReturnSuccess) << "a second start changes nothing";

    ASSERT_TRUE(waitForOutputBlocks(out, 5));
    for (size_t block = 1; block < 5; ++block) {
        const BlockHeader previous = ReadBlockHeader(out[block - 1]);
        const BlockHeader header = ReadBlockHeader(out[block]);
        EXPECT_EQ(header.fMicroframe, previous.fMicroframe + 160);
        EXPECT_GT(header.fHostTime, previous.fHostTime);
        EXPECT_EQ(header.fStartByteCount, previous.fEndByteCount);
        const BlockHeader inPrevious = ReadBlockHeader(in[block]);
        const BlockHeader inHeader = ReadBlockHeader(in[block + 1]);
        EXPECT_EQ(inHeader.fMicroframe, inPrevious.fMicroframe + 160);
        EXPECT_EQ(inHeader.fStartByteCount, inPrevious.fEndByteCount);
    }
    // Output is clocked by input: the bytes match frame for frame.
    const BlockHeader inFirst = ReadBlockHeader(in[1]);
    const BlockHeader outFirst = ReadBlockHeader(out[0]);
    EXPECT_EQ((inFirst.fEndByteCount - inFirst.fStartByteCount) / 80,
              (outFirst.fEndByteCount - outFirst.fStartByteCount) / 88);
    EXPECT_EQ(ReadBlockHeader(out[0]).fMicroframe, ReadBlockHeader(in[0]).fMicroframe + 320 * 8);

    ASSERT_EQ(runState(0), kIOReturnSuccess);
    EXPECT_EQ(model->alternate(kRecord), 0);
    EXPECT_EQ(model->alternate(kPlayback), 0);
}

// A client that claims fewer input channels than the device sends would have output requests larger
// than the endpoint carries; they are capped, and output goes on.
TEST_F(DextAudioRunState, OutputRequestsStayWithinTheEndpoint)
{
    DarwinTesting::LogCapture capture;
    const USBRequestBlock* out = mapRing(2);
    ASSERT_EQ(start(8), kIOReturnSuccess);
    ASSERT_TRUE(waitForOutputBlocks(out, 8));
    ASSERT_EQ(runState(0), kIOReturnSuccess);

    const uint32_t outMaxPacket = KorvanInterface::playbackMaxPacket(22, 4, KorvanInterface::Family::Single);
    for (size_t block = 0; block < 8; ++block) {
        const BlockHeader header = ReadBlockHeader(out[block]);
        EXPECT_EQ(header.fEndByteCount - header.fStartByteCount, 160u * outMaxPacket) << "block " << block;
    }
    EXPECT_TRUE(DextTesting::logged(capture, "Isoc out request 0 capped"));
    EXPECT_FALSE(DextTesting::logged(capture, "fIsocOutPipe->Write returned"));
}

// The first input request goes 20 frames ahead of the frame read at start, stamped with the host time
// the clock predicted for it, and its output 320 frames after that; a new start begins again at block
// 0 with counts from 0.
TEST_F(DextAudioRunState, EveryStartBeginsAtBlockZeroOnTheLoggedPlan)
{
    const USBRequestBlock* in = mapRing(1);
    const USBRequestBlock* out = mapRing(2);
    for (int run = 0; run < 2; ++run) {
        DarwinTesting::LogCapture capture;
        ASSERT_EQ(start(), kIOReturnSuccess);
        unsigned long long firstIn = 0, inTime = 0, firstOut = 0, outTime = 0;
        for (const std::string& line : DextTesting::lines(capture)) {
            std::sscanf(line.c_str(), "first in req %llu (%llu), first out req %llu (%llu)", &firstIn,
                        &inTime, &firstOut, &outTime);
        }
        ASSERT_NE(firstIn, 0u) << "run " << run;
        EXPECT_EQ(firstOut, firstIn + 320);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ReadBlockHeader(out[0]).fMicroframe != firstOut * 8 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_EQ(ReadBlockHeader(in[0]).fMicroframe, firstIn * 8);
        EXPECT_EQ(ReadBlockHeader(in[0]).fHostTime, inTime);
        EXPECT_EQ(ReadBlockHeader(in[0]).fStartByteCount, 0u);
        EXPECT_EQ(ReadBlockHeader(out[0]).fMicroframe, firstOut * 8);
        EXPECT_EQ(ReadBlockHeader(out[0]).fStartByteCount, 0u);
        ASSERT_EQ(runState(0), kIOReturnSuccess);
    }
}

// An input request that fails ends nothing: the next good completion builds the output of both.
TEST_F(DextAudioRunState, AFailedInputRequestLeavesNoGapInTheOutput)
{
    DarwinTesting::LogCapture capture;
    const USBRequestBlock* out = mapRing(2);
    SimUSB::Fault failure;
    failure.kind = SimUSB::Fault::Kind::RequestStatus;
    failure.trigger = SimUSB::Fault::Trigger::Transfers;
    failure.first = 6;
    failure.status = 0xE00002E9;
    SimUSB::Bus::shared().injectFault(kPort, KorvanInterface::Endpoint::kRecord, failure);
    ASSERT_EQ(start(), kIOReturnSuccess);
    ASSERT_TRUE(waitForOutputBlocks(out, 12));
    ASSERT_EQ(runState(0), kIOReturnSuccess);
    SimUSB::Bus::shared().clearFaults(kPort);

    EXPECT_TRUE(DextTesting::logged(capture, "USB IN ERR e00002e9"));
    for (size_t block = 1; block < 12; ++block) {
        EXPECT_EQ(ReadBlockHeader(out[block]).fMicroframe, ReadBlockHeader(out[block - 1]).fMicroframe + 160)
            << "block " << block;
    }
}

// When output stops moving while it has moved before, every watchdog tick says so, and goes on
// ticking.
TEST_F(DextAudioRunState, WatchdogReportsOutputThatStopsMoving)
{
    DarwinTesting::LogCapture capture;
    const USBRequestBlock* out = mapRing(2);
    ASSERT_EQ(start(), kIOReturnSuccess);
    ASSERT_TRUE(waitForOutputBlocks(out, 2));
    EXPECT_FALSE(DextTesting::logged(capture, "!! Isoc stalled!"));
    SimUSB::Fault failure;
    failure.kind = SimUSB::Fault::Kind::RequestStatus;
    failure.trigger = SimUSB::Fault::Trigger::FromNow;
    failure.status = 0xE00002E9;
    SimUSB::Bus::shared().injectFault(kPort, KorvanInterface::Endpoint::kRecord, failure);
    EXPECT_TRUE(
        DarwinTesting::eventually([&] { return DextTesting::countLines(capture, "!! Isoc stalled!") >= 2; }));
    ASSERT_EQ(runState(0), kIOReturnSuccess);
    SimUSB::Bus::shared().clearFaults(kPort);
}

// The successful try's readings are stamped on the real clock within the 10 µs bracket, which the
// thread sanitizer's slowdown stretches: this table is built in the other presets only.
#if !defined(__SANITIZE_THREAD__)
struct SnapshotCase
{
    const char* name;
    size_t failingTries;
    IOReturn result;
    size_t skipLines;
    bool gaveUp;
};

class DextAudioRunStateFrameSnapshot : public DextAudioRunState,
                                       public testing::WithParamInterface<SnapshotCase>
{};

// A try fails when the frame number jumps past the next frame; the clock is set only by a try that
// saw the boundary itself, and a start without one fails.
TEST_P(DextAudioRunStateFrameSnapshot, NeedsOneTryThatSeesTheBoundary)
{
    DarwinTesting::LogCapture capture;
    const uint64_t frame = SimUSB::Bus::shared().frameClock().currentFrame();
    std::vector<SimUSB::FrameReading> readings;
    for (size_t i = 0; i < GetParam().failingTries; ++i) {
        readings.push_back({frame, 0});
        readings.push_back({frame + 2, 0});
    }
    std::function<void()> onRead;
    if (GetParam().result == kIOReturnSuccess) {
        // The try after the failed ones sees the boundary at once: polling the live clock for it
        // could skip a frame on a loaded machine. Its last reading of the old frame is stamped just
        // before it is read, as the counter's own time of a reading is.
        readings.push_back({frame + 4, 0});
        // The counter copies its hook for every reading: the count of readings is shared.
        onRead = [frame, reads = std::make_shared<size_t>(0), tryStart = readings.size()] {
            if (++*reads == tryStart) {
                SimUSB::Bus::shared().frameClock().setScript(
                    {{frame + 4, DarwinClock::hostNow()}, {frame + 5, 0}});
            }
        };
    }
    SimUSB::Bus::shared().frameClock().setScript(readings, onRead);

    EXPECT_EQ(runState(1), GetParam().result);

    EXPECT_EQ(DextTesting::countLines(capture, "read timestamp skipped a frame ("), GetParam().skipLines);
    EXPECT_EQ(DextTesting::logged(capture, "DoGetFrameSnapshot FAIL ("), GetParam().gaveUp);
    EXPECT_EQ(DextTesting::logged(capture, "failed to read frame snapshot ("), GetParam().gaveUp);
    if (GetParam().result == kIOReturnSuccess) {
        EXPECT_EQ(runState(0), kIOReturnSuccess);
    } else {
        EXPECT_EQ(model->alternate(kRecord), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(DextTries, DextAudioRunStateFrameSnapshot,
                         testing::Values(SnapshotCase{"OneFailed", 1, kIOReturnSuccess, 1, false},
                                         SnapshotCase{"NineFailed", 9, kIOReturnSuccess, 9, false},
                                         SnapshotCase{"AllTenFailed", 10, kError, 10, true}),
                         [](const testing::TestParamInfo<SnapshotCase>& info) {
                             return std::string(info.param.name);
                         });
#endif

struct RefusedCase
{
    const char* name;
    uint32_t inInterface;
    uint32_t inAlt;
    uint32_t inBytes;
    uint32_t outBytes;
};

class DextAudioRunStateRefused : public DextAudioRunState, public testing::WithParamInterface<RefusedCase>
{};

TEST_P(DextAudioRunStateRefused, LeavesNothingClaimedSoTheNextStartWorks)
{
    const size_t interfaceChanges = model->interfaceLog().size();
    const RefusedCase& c = GetParam();

    EXPECT_EQ(runState(1, c.inInterface, c.inAlt, c.inBytes, kPlayback, 1, c.outBytes), kError);
    EXPECT_EQ(model->alternate(kRecord), 0);
    EXPECT_EQ(model->alternate(kPlayback), 0);
    if (c.inBytes == 0 || c.outBytes == 0) {
        EXPECT_EQ(model->interfaceLog().size(), interfaceChanges) << "nothing reaches the device";
    }

    EXPECT_EQ(start(), kIOReturnSuccess);
    EXPECT_EQ(runState(0), kIOReturnSuccess);
}

INSTANTIATE_TEST_SUITE_P(DextRequests, DextAudioRunStateRefused,
                         testing::Values(RefusedCase{"NoInputFrameSize", kRecord, 1, 0, 88},
                                         RefusedCase{"NoOutputFrameSize", kRecord, 1, 80, 0},
                                         RefusedCase{"NotAStreamingInterface", 0, 1, 80, 88},
                                         RefusedCase{"NoSuchInterface", 7, 1, 80, 88},
                                         RefusedCase{"AlternateWithoutEndpoint", kRecord, 0, 80, 88}),
                         [](const testing::TestParamInfo<RefusedCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(DextAudioRunState, ClosingTheAudioClientStopsAudio)
{
    ASSERT_EQ(start(), kIOReturnSuccess);
    IOServiceClose(connect);
    connect = 0;
    EXPECT_EQ(model->alternate(kRecord), 0);
    EXPECT_EQ(model->alternate(kPlayback), 0);
}

class DextAudioRunStateWithHeaders : public DextAudioRunState
{
protected:
    void SetUp() override
    {
        headerVersion = 2;
        DextAudioRunState::SetUp();
    }
};

TEST_F(DextAudioRunStateWithHeaders, InputCountsFollowTheFramesTheDeviceSent)
{
    const USBRequestBlock* in = mapRing(1);
    const USBRequestBlock* out = mapRing(2);
    ASSERT_EQ(start(80, 2), kIOReturnSuccess);
    EXPECT_EQ(enableHeaders(2), static_cast<IOReturn>(0xE00002D8)) << "not while streaming";
    ASSERT_TRUE(waitForOutputBlocks(out, 6));

    // Blocks 1 to 5 were chased whole: their counts are the frames the device sent in them.
    expectInputCountsMatchDevice(in, 1, 5, 80);
    ASSERT_EQ(runState(0), kIOReturnSuccess);
}

// Packets the bus lost are found by their headers, and the frames in them are counted all the same,
// also where they run from one request into the next.
TEST_F(DextAudioRunStateWithHeaders, DroppedPacketsAreRepairedFromTheHeaders)
{
    DarwinTesting::LogCapture capture;
    const USBRequestBlock* in = mapRing(1);
    const USBRequestBlock* out = mapRing(2);
    ASSERT_EQ(start(80, 2), kIOReturnSuccess);
    ASSERT_TRUE(waitForOutputBlocks(out, 1));
    // Bursts of 1, 3 and 7 lost packets inside input blocks 4, 5 and 6, and one of 8 from the end of
    // block 7 into block 8.
    const uint64_t first = ReadBlockHeader(in[1]).fMicroframe;
    for (const auto& [offset, count] : {std::pair<uint64_t, uint64_t>{3 * 160 + 17, 1},
                                        {4 * 160 + 40, 3},
                                        {5 * 160 + 100, 7},
                                        {6 * 160 + 156, 8}}) {
        // The device sends them; the bus loses them on the way.
        model->injectRecordFault(
            {KorvanInterface::KorvanDevice::RecordFault::Kind::Drop, first + offset, count});
    }
    ASSERT_TRUE(waitForOutputBlocks(out, 10));

    expectInputCountsMatchDevice(in, 4, 8, 80);
    ASSERT_EQ(runState(0), kIOReturnSuccess);
    EXPECT_FALSE(DextTesting::logged(capture, "sanitizeInputRequest - failed"));
    EXPECT_FALSE(DextTesting::logged(capture, "!!! Isoc out request"));
}

// A start refused after it set the record interface's alternate ends the device's streaming headers:
// the driver reads the next stream as the device sends it, without them, until they are enabled again.
TEST_F(DextAudioRunStateWithHeaders, ARefusedStartEndsStreamingHeadersAsAStopDoes)
{
    const USBRequestBlock* in = mapRing(1);
    const USBRequestBlock* out = mapRing(2);
    ASSERT_EQ(enableHeaders(2), kIOReturnSuccess);
    // Ten tries at the frame clock that never see a boundary refuse the start.
    const uint64_t frame = SimUSB::Bus::shared().frameClock().currentFrame();
    std::vector<SimUSB::FrameReading> readings;
    for (int i = 0; i < 10; ++i) {
        readings.push_back({frame, 0});
        readings.push_back({frame + 2, 0});
    }
    SimUSB::Bus::shared().frameClock().setScript(readings);
    ASSERT_EQ(runState(1), kError);
    ASSERT_FALSE(model->headerMode());

    ASSERT_EQ(start(), kIOReturnSuccess);
    ASSERT_TRUE(waitForOutputBlocks(out, 6));
    expectInputCountsMatchDevice(in, 1, 5, 80);
    ASSERT_EQ(runState(0), kIOReturnSuccess);

    ASSERT_EQ(start(80, 2), kIOReturnSuccess);
    EXPECT_TRUE(model->headerMode());
    ASSERT_EQ(runState(0), kIOReturnSuccess);
}

} // namespace
