#include "DeviceFixture.h"

#include "CAException.h"

#include <DarwinTesting/LogCapture.h>
#include <DarwinTesting/ManualClock.h>
#include <IOKit/IOReturn.h>

#include <algorithm>
#include <new>

using namespace DeviceTesting;
using namespace KorvanDeviceIO;
using namespace PlugInTesting;

namespace {

class IOControl : public DeviceFixture
{
protected:
    bool Told(AudioObjectPropertySelector selector) const
    {
        for (const PropertiesChange& change : fHost.Changes()) {
            for (const AudioObjectPropertyAddress& address : change.fAddresses) {
                if (change.fObjectID == fDeviceID && address.mSelector == selector) {
                    return true;
                }
            }
        }
        return false;
    }

    DarwinTesting::ManualClock fClock;
};

TEST_F(IOControl, AudioStops2000msAfterTheLastClientAndRestartsWithinThemWithoutAStart)
{
    SA_DeviceUSB& device = Activate();
    SubmitFirstOutputBlock();
    ASSERT_EQ(device.StartIO(1), 0);
    ASSERT_EQ(device.StartIO(2), 0);
    EXPECT_EQ(fService.runStarts().size(), 1u);
    EXPECT_TRUE(Told(kAudioDevicePropertyDeviceIsRunning));

    ASSERT_EQ(device.StopIO(1), 0);
    ASSERT_EQ(device.StopIO(2), 0);
    fClock.advance(std::chrono::milliseconds(1999));
    EXPECT_TRUE(device.IsAudioRunning());
    const size_t changes = fHost.Changes().size();
    ASSERT_EQ(device.StartIO(3), 0);
    EXPECT_EQ(fService.runStarts().size(), 1u) << "no new start";
    EXPECT_EQ(fHost.Changes().size(), changes + 1);
    EXPECT_TRUE(Told(kAudioDevicePropertyDeviceIsRunning));

    ASSERT_EQ(device.StopIO(3), 0);
    fClock.advance(std::chrono::milliseconds(1999));
    EXPECT_TRUE(device.IsAudioRunning());
    fClock.advance(std::chrono::milliseconds(1));
    // The timer's callback runs on the plug-in's thread.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (fService.runStops() == 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), limit) << "audio still runs 2000 ms after the last stop";
        std::this_thread::yield();
    }
    EXPECT_FALSE(device.IsAudioRunning());
}

TEST_F(IOControl, StopWithoutClientIsRefused)
{
    SA_DeviceUSB& device = Activate();
    try {
        device.StopIO(1);
        ADD_FAILURE() << "StopIO without a client";
    } catch (const CAException& failure) {
        EXPECT_EQ(failure.GetError(), OSStatus(kAudioHardwareIllegalOperationError));
    }
}

TEST_F(IOControl, FailedStartLeavesTheClientCount)
{
    SA_DeviceUSB& device = Activate();
    SubmitFirstOutputBlock();
    fService.setRunStateStartResult(kIOReturnError);
    EXPECT_EQ(device.StartIO(1), OSStatus(kIOReturnError));
    EXPECT_EQ(device.GetStartCount(), 0u);
    EXPECT_FALSE(device.IsAudioRunning());
    fService.setRunStateStartResult(0);
    ASSERT_EQ(device.StartIO(1), 0);
    EXPECT_TRUE(device.IsAudioRunning()) << "the next start starts audio";
    EXPECT_EQ(device.GetStartCount(), 1u);
}

TEST_F(IOControl, RateChangeGoesThroughTheHostAndTheDevice)
{
    SA_DeviceUSB& device = Activate();
    SubmitFirstOutputBlock();
    ASSERT_EQ(device.StartIO(1), 0);
    device.SetSampleRate(96000);
    EXPECT_FALSE(Admits(device.GetIOLock()));
    ASSERT_TRUE(WaitForLogLines("BEGIN REQUEST CONFIGURATION CHANGE", 1));

    // The host aborts: the request is made again, IO stays disabled.
    device.AbortConfigChange(SA_Device::kConfigChangeAction, &device);
    ASSERT_TRUE(WaitForLogLines("BEGIN REQUEST CONFIGURATION CHANGE", 2));
    EXPECT_FALSE(Admits(device.GetIOLock()));

    const size_t before = fHost.Changes().size();
    device.PerformConfigChange(SA_Device::kConfigChangeAction, &device);
    EXPECT_FALSE(device.IsAudioRunning());
    const auto changes = fHost.Changes();
    ASSERT_EQ(changes.size(), before + 1);
    std::vector<AudioObjectPropertySelector> told;
    for (const AudioObjectPropertyAddress& address : changes.back().fAddresses) {
        told.push_back(address.mSelector);
    }
    EXPECT_EQ(told, (std::vector<AudioObjectPropertySelector>{
                        kAudioDevicePropertyZeroTimeStampPeriod, kAudioDevicePropertyNominalSampleRate,
                        kAudioDevicePropertyStreams, kAudioStreamPropertyPhysicalFormat}));
    EXPECT_EQ(device.GetSampleRate(), 96000u);
    EXPECT_EQ(device.GetZeroTimeSamplePeriod(), 32768u);

    // The host restarts IO: the driver runs the 2x alternate, and IO cycles run again.
    ASSERT_EQ(device.StopIO(1), 0);
    SubmitFirstOutputBlock();
    ASSERT_EQ(device.StartIO(1), 0);
    ASSERT_EQ(fService.runStarts().size(), 2u);
    EXPECT_EQ(fService.runStarts().back().fInAlt, 2u);
    EXPECT_EQ(fService.runStarts().back().fOutAlt, 2u);
    EXPECT_TRUE(Admits(device.GetIOLock()));
}

TEST_F(IOControl, ClockChangeTakesTheDevicesRate)
{
    SA_DeviceUSB& device = Activate();
    fService.setCurValue(KorvanInterface::Entity::kClockSource, 1, RateBytes(44100));
    const UInt8 message[6] = {0x00, 0x01, 0x01, 0x00, 0x00, KorvanInterface::Entity::kClockSource};
    device.UACReadComplete(message, sizeof(message));
    ASSERT_TRUE(WaitForLogLines("BEGIN REQUEST CONFIGURATION CHANGE", 1));
    device.PerformConfigChange(SA_Device::kConfigChangeAction, &device);
    EXPECT_EQ(device.GetSampleRate(), 44100u);
    EXPECT_TRUE(device.IsRateValid());
}

// A cycle refused while IO is disabled (stopped, asleep, changing) leaves the output the host mixed
// as it is, and reads silence: the host's input buffer still holds an earlier cycle's input, which
// would otherwise reach the application again.
TEST_F(IOControl, CycleWithIODisabledReadsSilenceAndLeavesTheOutput)
{
    SA_DeviceUSB& device = Activate();
    AudioServerPlugInIOCycleInfo cycle{};
    constexpr UInt32 kFrames = 512;
    const std::size_t inputSamples =
        std::size_t(kFrames) * (device.GetInputChannels() + device.GetExtraInputChannels());
    ASSERT_GT(inputSamples, 0u);
    std::vector<float> buffer(inputSamples + 64, 7.0f);
    for (UInt32 operation : {kAudioServerPlugInIOOperationWriteMix, kAudioServerPlugInIOOperationReadInput}) {
        device.DoIOOperation(device.GetOutputStreamID(), operation, kFrames, cycle, buffer.data());
    }
    device.DoIOOperation(device.GetInputStreamID(), kAudioServerPlugInIOOperationWriteMix, kFrames, cycle,
                         buffer.data());
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 7.0f), std::ptrdiff_t(buffer.size()));
    device.DoIOOperation(device.GetInputStreamID(), kAudioServerPlugInIOOperationReadInput, kFrames, cycle,
                         buffer.data());
    EXPECT_EQ(std::count(buffer.begin(), buffer.begin() + std::ptrdiff_t(inputSamples), 0.0f),
              std::ptrdiff_t(inputSamples));
    EXPECT_EQ(std::count(buffer.begin() + std::ptrdiff_t(inputSamples), buffer.end(), 7.0f), 64);
}

// A device whose rate-dependent set-up fails once with an exception.
class FailingSetUpDevice : public SA_DeviceUSB
{
public:
    using SA_DeviceUSB::SA_DeviceUSB;

    void UpdateSampleRateDependentParameters() override
    {
        if (fFail) {
            fFail = false;
            throw std::bad_alloc();
        }
        SA_DeviceUSB::UpdateSampleRateDependentParameters();
    }

    bool fFail = false;
};

TEST_F(IOControl, ExceptionInAChangeStillEnablesIO)
{
    auto& device = Activate<FailingSetUpDevice>();
    SubmitFirstOutputBlock();
    ASSERT_EQ(device.StartIO(1), 0);
    device.SetSampleRate(48000);
    device.fFail = true;
    EXPECT_THROW(device.PerformConfigChange(SA_Device::kConfigChangeAction, &device), std::bad_alloc);
    ASSERT_EQ(device.StopIO(1), 0);
    SubmitFirstOutputBlock();
    ASSERT_EQ(device.StartIO(1), 0);
    EXPECT_TRUE(Admits(device.GetIOLock())) << "IO cycles run again";
}

// The device's zero-time filter, reached as the streaming engine reaches it.
class FilteringDevice : public SA_DeviceUSB
{
public:
    using SA_Device::FilterZHT;
    using SA_DeviceUSB::GetLogThread;
    using SA_DeviceUSB::SA_DeviceUSB;
};

TEST_F(IOControl, ZeroTimeFilterLogsATimeTakenRaw)
{
    DarwinTesting::LogCapture capture;
    auto& device = Activate<FilteringDevice>();
    SubmitFirstOutputBlock();
    // The start resets the filter and hands it output block 0's host time first.
    ASSERT_EQ(device.StartIO(1), 0);
    const UInt64 start =
        ReadBlockHeader(reinterpret_cast<USBRequestBlock*>(fService.ring(kOutputRingMemoryType))[0])
            .fHostTime;
    constexpr UInt64 kIdeal = 341333333;
    device.FilterZHT(start + kIdeal + 50000, device.GetLogThread());
    device.FilterZHT(start + 2 * kIdeal + 5000 + 150000, device.GetLogThread());
    const std::string line =
        "FilterZHT - measured zero host timestamp delta differed from ideal by 150 microseconds";
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        int found = 0;
        for (const std::string& text : capture.texts(DarwinLog::Source::OSLog)) {
            found += text.find("FilterZHT") != std::string::npos ? 1 : 0;
            ASSERT_TRUE(text.find("FilterZHT") == std::string::npos || text.find(line) != std::string::npos)
                << text;
        }
        if (found == 1) {
            break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), limit) << "the line of the raw time";
        std::this_thread::yield();
    }
}

} // namespace
