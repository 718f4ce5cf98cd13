#include "DeviceFixture.h"

#include <DarwinTesting/LogCapture.h>
#include <DarwinTesting/ManualClock.h>
#include <IOKit/IOReturn.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

using namespace DeviceTesting;
using namespace KorvanDeviceIO;
using namespace PlugInTesting;

namespace {

class AudioStartStop : public DeviceFixture
{
protected:
    USBRequestBlock* InputRing()
    {
        return reinterpret_cast<USBRequestBlock*>(fService.ring(kInputRingMemoryType));
    }

    int Calls(uint32_t selector) const
    {
        const auto calls = AudioCalls();
        return int(std::count(calls.begin(), calls.end(), selector));
    }

    bool InputDataAll(uint8_t value)
    {
        USBRequestBlock* ring = InputRing();
        for (std::size_t block = 0; block < kRequestBlockCount; ++block) {
            const uint8_t* data = ring[block].fBuffer;
            if (std::any_of(data, data + kRequestDataSizeBytes,
                            [value](uint8_t byte) { return byte != value; })) {
                return false;
            }
        }
        return true;
    }
};

TEST_F(AudioStartStop, HeaderModeByTheDriversAnswer)
{
    const struct
    {
        const char* name;
        std::optional<uint8_t> version;
        bool enabled;
        int enables;
        uint8_t ringData;
    } cases[] = {
        {"kernel extension", std::nullopt, false, 0, kStalePacketByte},
        {"version 0", uint8_t(0), false, 0, kStalePacketByte},
        {"version 1", uint8_t(1), true, 1, 0},
        {"version 2", uint8_t(2), true, 1, 0},
        {"version 3", uint8_t(3), false, 0, kStalePacketByte},
    };
    SA_DeviceUSB& device = Activate();
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        fService.setStreamingHeadersVersion(testCase.version);
        std::memset(static_cast<void*>(InputRing()), 0x55, kRequestRingSizeBytes);
        const int enablesBefore = Calls(kSetStreamingHeadersEnable);
        SubmitFirstOutputBlock();
        ASSERT_EQ(device.StartAudio(), 0);
        EXPECT_EQ(device.AreStreamingHeadersEnabled(), testCase.enabled);
        EXPECT_EQ(Calls(kSetStreamingHeadersEnable) - enablesBefore, testCase.enables);
        EXPECT_TRUE(InputDataAll(testCase.ringData));
        device.StopAudio();
    }
}

TEST_F(AudioStartStop, SyncOffsetIs300ms)
{
    const struct
    {
        uint32_t rate;
        uint64_t offset;
    } cases[] = {{48000, 14400}, {44100, 13230}, {96000, 28800}};
    for (const auto& testCase : cases) {
        fService.setCurValue(KorvanInterface::Entity::kClockSource, 1, RateBytes(testCase.rate));
        SA_DeviceUSB& device = Activate();
        SubmitFirstOutputBlock();
        ASSERT_EQ(device.StartAudio(), 0);
        EXPECT_EQ(device.GetBufferSyncOffsetSamples(), testCase.offset) << testCase.rate;
        device.StopAudio();
        device.Deactivate();
        SA_ObjectMap::UnmapObject(fDeviceID, fDevice);
        fDevice = nullptr;
    }
}

TEST_F(AudioStartStop, FailedMappingsAreGivenBack)
{
    using Mapping = FakeKernelService::Mapping;
    const struct
    {
        uint32_t memoryType;
        Mapping mapping;
    } cases[] = {{kInputRingMemoryType, Mapping::Fails},
                 {kInputRingMemoryType, Mapping::Short},
                 {kOutputRingMemoryType, Mapping::Fails},
                 {kOutputRingMemoryType, Mapping::Short}};
    SA_DeviceUSB& device = Activate();
    for (const auto& testCase : cases) {
        SCOPED_TRACE(std::to_string(testCase.memoryType) +
                     (testCase.mapping == Mapping::Fails ? " fails" : " short"));
        fService.setMapping(testCase.memoryType, testCase.mapping);
        EXPECT_EQ(device.StartAudio(), OSStatus(kIOReturnError));
        EXPECT_EQ(fService.clientMappings(kInputRingMemoryType), 0);
        EXPECT_EQ(fService.clientMappings(kOutputRingMemoryType), 0);
        EXPECT_TRUE(fService.runStarts().empty());
        fService.setMapping(testCase.memoryType, Mapping::Whole);
    }
    SubmitFirstOutputBlock();
    ASSERT_EQ(device.StartAudio(), 0);
    EXPECT_EQ(fService.clientMappings(kInputRingMemoryType), 1);
    EXPECT_EQ(fService.clientMappings(kOutputRingMemoryType), 1);
    device.StopAudio();
    EXPECT_EQ(fService.clientMappings(kInputRingMemoryType), 0);
    EXPECT_EQ(fService.clientMappings(kOutputRingMemoryType), 0);
}

TEST_F(AudioStartStop, RefusedRunStateGivesTheRingsBack)
{
    SA_DeviceUSB& device = Activate();
    fService.setRunStateStartResult(kIOReturnError);
    SubmitFirstOutputBlock();
    EXPECT_EQ(device.StartAudio(), OSStatus(kIOReturnError));
    EXPECT_EQ(fService.clientMappings(kInputRingMemoryType), 0);
    EXPECT_EQ(fService.clientMappings(kOutputRingMemoryType), 0);
    fService.setRunStateStartResult(0);
    EXPECT_EQ(device.StartAudio(), 0);
}

class AudioStartStopOnManualClock : public AudioStartStop
{
protected:
    DarwinTesting::ManualClock fClock;
};

TEST_F(AudioStartStopOnManualClock, OutputThatNeverStartsTimesOutAfter200ms)
{
    SA_DeviceUSB& device = Activate();
    EXPECT_EQ(StartWithoutOutput(fClock), OSStatus(kIOReturnTimeout));
    EXPECT_EQ(fService.runStops(), 1);
    EXPECT_EQ(fService.clientMappings(kInputRingMemoryType), 0);
    EXPECT_EQ(fService.clientMappings(kOutputRingMemoryType), 0);
    SubmitFirstOutputBlock();
    EXPECT_EQ(device.StartAudio(), 0) << "the next start works";
}

// The driver streams, but output block 0 never gets a host time.
TEST_F(AudioStartStopOnManualClock, OutputBlockZeroWithoutHostTimeFailsTheStartAfter200ms)
{
    Activate();
    StreamFormat untimed = SteppedFormat(fClock, false);
    untimed.fOutputBlock0Untimed = true;
    const uint64_t begin = mach_absolute_time();
    EXPECT_EQ(StartOnSteppedDriver(untimed), OSStatus(kIOReturnTimeout));
    EXPECT_GE(mach_absolute_time() - begin, SA_DeviceUSB::kStartDeadlineNs);
    EXPECT_EQ(fService.runState(), 0u);
    EXPECT_EQ(fService.runStops(), 1);
    EXPECT_EQ(fService.clientMappings(kInputRingMemoryType), 0);
    EXPECT_EQ(fService.clientMappings(kOutputRingMemoryType), 0);
    EXPECT_EQ(StartOnSteppedDriver(SteppedFormat(fClock, false)), 0) << "the next start works";
}

// Output block 0's host time lies 10 s ahead, beyond any request of the ring: the start does
// not wait for it and fails as a start whose output never came. One 300 ms ahead is waited for.
TEST_F(AudioStartStopOnManualClock, OutputBlockZeroBeyondTheRingFailsTheStartAtOnce)
{
    DarwinTesting::LogCapture capture;
    SA_DeviceUSB& device = Activate();
    auto* ring = reinterpret_cast<USBRequestBlock*>(fService.ring(kOutputRingMemoryType));
    const uint64_t bytesPerFrame = uint64_t(device.GetBusBytesPerSample()) * device.GetOutputChannels();
    const auto posted = [&capture](const std::string& line) {
        return DarwinTesting::eventually([&] {
            const auto texts = capture.texts(DarwinLog::Source::OSLog);
            return std::any_of(texts.begin(), texts.end(), [&line](const std::string& text) {
                return text.find(line) != std::string::npos;
            });
        });
    };
    const auto startAt = [&](uint64_t hostTime) {
        WriteBlockHeader(ring[0], {hostTime, 0, 0, 480 * bytesPerFrame});
        return std::async(std::launch::async, [&device] { return device.StartAudio(); });
    };
    const auto returned = [](std::future<OSStatus>& start) {
        return DarwinTesting::eventually(
            [&start] { return start.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; });
    };

    const uint64_t begin = mach_absolute_time();
    const uint64_t farAhead = begin + 10 * 1000000000ull;
    auto start = startAt(farAhead);
    const bool gaveUp = returned(start);
    EXPECT_TRUE(gaveUp) << "the start waits for the driver's host time";
    if (!gaveUp) {
        fClock.advanceTo(farAhead);
    }
    EXPECT_EQ(start.get(), OSStatus(kIOReturnTimeout));
    EXPECT_EQ(mach_absolute_time(), begin) << "time stood still";
    EXPECT_TRUE(posted("TIMEOUT STARTING OUTPUT"));
    EXPECT_EQ(fService.runStops(), 1);
    EXPECT_EQ(fService.clientMappings(kInputRingMemoryType), 0);
    EXPECT_EQ(fService.clientMappings(kOutputRingMemoryType), 0);

    const uint64_t withinTheRing = mach_absolute_time() + 300000000;
    start = startAt(withinTheRing);
    EXPECT_TRUE(posted("StartAudio waiting 300000000,"));
    fClock.advanceTo(withinTheRing);
    EXPECT_TRUE(returned(start));
    EXPECT_EQ(start.get(), 0);
}

// The audio server asks for zero timestamps while sleep stops audio: the walk never reads a ring
// that is gone.
TEST_F(AudioStartStop, ZeroTimeQueriesDuringSleepAndWake)
{
    SA_DeviceUSB& device = Activate();
    auto* ring = reinterpret_cast<USBRequestBlock*>(fService.ring(kOutputRingMemoryType));
    const uint64_t bytesPerFrame = uint64_t(device.GetBusBytesPerSample()) * device.GetOutputChannels();
    const uint64_t now = mach_absolute_time();
    for (uint64_t block = 0; block < kRequestBlockCount; ++block) {
        WriteBlockHeader(ring[block], {now - 400000000 + block * 20000000, 0, block * 960 * bytesPerFrame,
                                       (block + 1) * 960 * bytesPerFrame});
    }
    ASSERT_EQ(device.StartIO(1), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> queries{0};
    std::thread audioServer([&] {
        while (!stop) {
            Float64 sampleTime = 0;
            UInt64 hostTime = 0;
            UInt64 seed = 0;
            device.GetZeroTimeStamp(sampleTime, hostTime, seed);
            ++queries;
        }
    });
    for (int round = 0; round < 50; ++round) {
        SA_Device::PowerChangeNotification(&device, KorvanServiceClient::kSystemWillSleep);
        SA_Device::PowerChangeNotification(&device, KorvanServiceClient::kSystemHasPoweredOn);
    }
    stop = true;
    audioServer.join();
    EXPECT_GT(queries.load(), 0);
    EXPECT_EQ(fService.runStarts().size(), 51u);
}

} // namespace
