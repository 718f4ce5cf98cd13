// The device's life around a stream, on each driver: unplugged while streaming and plugged in
// again, the plug-in's delayed stop after the last client, a start whose input never answers, and
// the computer's sleep and wake.

#include <DemoRun.h>
#include <LogScan.h>
#include <PlugInDevice.h>
#include <Recorder.h>
#include <SimulatedSystem.h>

#include <DarwinTesting/LogCapture.h>
#include <KorvanInterface/Descriptors.h>
#include <KorvanInterface/Identity.h>

#include "E2EWait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using E2E::Eventually;
using KorvanInterface::Model;

constexpr uint8_t kPort = 2;
constexpr UInt32 kClient = 7;
constexpr double kDeviceSeconds = 10;
constexpr uint32_t kRate = 48000;
constexpr uint32_t kBuffer = 512;
constexpr const char* kStartTimeOut = "TIMEOUT STARTING OUTPUT";

// The Brio runs on the driver extension, the Wrenlet on the kernel extension.
struct Driver
{
    const char* name;
    Model model;
    const char* serial;
};

void PrintTo(const Driver& driver, std::ostream* out)
{
    *out << driver.name;
}

class E2ELifecycle : public testing::TestWithParam<Driver>
{
protected:
    void SetUp() override
    {
        settings.model = GetParam().model;
        settings.serial = GetParam().serial;
        settings.headerVersion = 2;
        device = system.plugIn(kPort, settings);
        const auto found = Demo::WaitForDevice(host, Uid(), kDeviceSeconds);
        ASSERT_TRUE(found.has_value());
        id = *found;
        ASSERT_TRUE(Demo::SetNominalRate(host, id, kRate, kDeviceSeconds));
        Demo::SetOutputVolumesToFullScale(host, id);
    }

    void TearDown() override
    {
        host.StopIO(id, kClient);
        system.unplug(kPort);
        EXPECT_TRUE(Demo::WaitForDeviceGone(host, id, kDeviceSeconds));
    }

    std::string Uid() const { return E2E::UidOfSerial(GetParam().serial); }

    // A recorder that outlives the row's IO: the host's IO thread calls it until TearDown stops it.
    Demo::Recorder& NewRecorder() { return recorders.emplace_back(32, kBuffer, kRate); }

    Demo::InputLayout Layout()
    {
        const Demo::DeviceFacts facts = Demo::ReadDeviceFacts(host, id);
        const uint32_t deviceInputs = uint32_t(KorvanInterface::modelInfo(GetParam().model).channels[0].in);
        return {kRate, facts.inputChannels, deviceInputs, facts.inputChannels > deviceInputs,
                facts.zeroTimeStampPeriod};
    }

    OSStatus Start(Demo::Recorder& recorder)
    {
        recorder.startSegment(Layout());
        return host.StartIO(id, kClient, kBuffer, recorder.callback(), recorder.observer());
    }

    // Streams into `recorder` until `frames` frames came back.
    bool StreamUntil(Demo::Recorder& recorder, uint64_t frames)
    {
        recorder.startSegment(Layout());
        const Demo::ClientStart start =
            Demo::StartClientIO(host, id, kClient, kBuffer, recorder.callback(), recorder.observer());
        if (start.status != kAudioHardwareNoError) {
            ADD_FAILURE() << "StartIO failed with " << start.status;
            return false;
        }
        return Eventually([&] { return recorder.loopback().framesCompared >= frames; });
    }

    bool Idle() const
    {
        return device->alternate(KorvanInterface::kRecordInterface) == 0 &&
               device->alternate(KorvanInterface::kPlaybackInterface) == 0;
    }

    Demo::LoopbackResult SleepAndWake(Demo::Recorder& recorder);

    // The alternates the device was set to on `interface`, from request `from` of its log on.
    std::vector<uint8_t> Alternates(uint8_t interface, size_t from) const
    {
        std::vector<uint8_t> alternates;
        const auto log = device->interfaceLog();
        for (size_t index = from; index < log.size(); ++index) {
            if (log[index].first == interface) {
                alternates.push_back(log[index].second);
            }
        }
        return alternates;
    }

    static void ExpectClean(const Demo::LoopbackResult& result)
    {
        EXPECT_EQ(result.lost, 0u);
        EXPECT_EQ(result.duplicated, 0u);
        EXPECT_EQ(result.mismatchedSamples, 0u);
    }

    AudioServerHost& host = Demo::SharedAudioServer();
    Demo::SimulatedSystem system{Demo::DriverChoice::Auto};
    Demo::SimulatedSystem::DeviceSettings settings;
    std::shared_ptr<KorvanInterface::KorvanDevice> device;
    AudioObjectID id = 0;
    std::deque<Demo::Recorder> recorders;
};

TEST_P(E2ELifecycle, UnpluggedWhileStreamingEndsTheIOAndReturnsWithTheSameUID)
{
    std::string before;
    host.GetString(id, {kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal, 0}, before);
    Demo::Recorder& first = NewRecorder();
    ASSERT_TRUE(StreamUntil(first, kRate / 2));
    system.unplug(kPort);
    EXPECT_TRUE(Demo::WaitForDeviceGone(host, id, kDeviceSeconds));
    EXPECT_TRUE(Eventually([&] {
        const IORunner* runner = host.Runner(id, kClient);
        return runner == nullptr || runner->EndedByPlugIn();
    }));
    host.StopIO(id, kClient);

    device = system.plugIn(kPort, settings);
    const auto back = Demo::WaitForDevice(host, Uid(), kDeviceSeconds);
    ASSERT_TRUE(back.has_value());
    id = *back;
    std::string uid;
    host.GetString(id, {kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal, 0}, uid);
    EXPECT_EQ(uid, before);
    EXPECT_TRUE(uid.ends_with(":" + Uid())) << uid;
    Demo::SetOutputVolumesToFullScale(host, id);
    Demo::Recorder& second = NewRecorder();
    ASSERT_TRUE(StreamUntil(second, kRate / 2));
    ExpectClean(second.loopback());
}

// The last stop reaches the driver 2000 ms later, not before; a start within those 2000 ms takes
// the audio that still runs, without a new SET_INTERFACE.
TEST_P(E2ELifecycle, TheLastStopReachesTheDriverTwoSecondsLater)
{
    Demo::Recorder& recorder = NewRecorder();
    ASSERT_TRUE(StreamUntil(recorder, kRate / 2));
    const size_t interfaceRequests = device->interfaceLog().size();
    const auto firstStop = Clock::now();
    host.StopIO(id, kClient);
    EXPECT_FALSE(Idle()) << "stopped at once";
    const uint64_t before = recorder.loopback().framesCompared;
    ASSERT_EQ(Start(recorder), kAudioHardwareNoError);
    EXPECT_TRUE(Eventually([&] { return recorder.loopback().framesCompared >= before + kRate / 4; }));
    EXPECT_EQ(device->interfaceLog().size(), interfaceRequests) << "the restart set an interface again";
    EXPECT_LT(Clock::now() - firstStop, 2000ms) << "the restart came after the stop delay";

    const auto stopped = Clock::now();
    host.StopIO(id, kClient);
    ASSERT_TRUE(Eventually([&] { return Idle(); }));
    EXPECT_GE(Clock::now() - stopped, 2000ms);
    EXPECT_EQ(device->interfaceLog().size(), interfaceRequests + 2);
}

// The record endpoint never completes: the start gives up on the first output block with "TIMEOUT
// STARTING OUTPUT", the host sees it fail, and the driver is told run state 0 (both interfaces back at
// alternate 0). The start is given back, so once the endpoint answers again the next start starts
// audio anew and streams clean.
TEST_P(E2ELifecycle, AStartWhoseInputNeverAnswersTimesOutAndTheNextStreams)
{
    DarwinTesting::LogCapture log;
    auto timeOuts = [&] {
        const std::vector<std::string> lines = log.texts(DarwinTesting::LogSource::OSLog);
        return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find(kStartTimeOut) != std::string::npos;
        });
    };
    system.holdInputEndpoint(kPort, true);
    Demo::Recorder& refused = NewRecorder();
    const auto starting = Clock::now();
    const OSStatus status = Start(refused);
    std::printf("the held start failed after %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - starting).count()));
    EXPECT_NE(status, kAudioHardwareNoError);
    EXPECT_EQ(host.Runner(id, kClient), nullptr);
    EXPECT_TRUE(Eventually([&] { return timeOuts() == 1; })) << "no start time-out in the log";
    EXPECT_TRUE(Eventually([&] { return Idle(); })) << "the driver was not told run state 0";
    // Set streaming by the start, then back to alternate 0 by the stop.
    for (const uint8_t interface : {KorvanInterface::kRecordInterface, KorvanInterface::kPlaybackInterface}) {
        const std::vector<uint8_t> alternates = Alternates(interface, 0);
        ASSERT_EQ(alternates.size(), 2u) << "interface " << int(interface);
        EXPECT_NE(alternates[0], 0) << "interface " << int(interface);
        EXPECT_EQ(alternates[1], 0) << "interface " << int(interface);
    }
    EXPECT_EQ(refused.loopback().framesCompared, 0u);

    system.holdInputEndpoint(kPort, false);
    const size_t requestsBefore = device->interfaceLog().size();
    Demo::Recorder& recorder = NewRecorder();
    ASSERT_TRUE(StreamUntil(recorder, kRate / 2));
    const std::vector<uint8_t> record = Alternates(KorvanInterface::kRecordInterface, requestsBefore);
    ASSERT_EQ(record.size(), 1u) << "the second start set no streaming alternate";
    EXPECT_NE(record[0], 0);
    ExpectClean(recorder.loopback());
    EXPECT_EQ(timeOuts(), 1);
    EXPECT_EQ(Demo::ScanLog(log.texts(DarwinTesting::LogSource::OSLog), false, {kStartTimeOut}).unexpected,
              std::vector<std::string>{});
}

// The computer sleeps while streaming: the plug-in stops audio before the drivers power down; on
// wake, once they powered up, it starts audio again on a new time line, which the host follows. The
// new segment's zero timestamps keep the device's pace (the driver's frame clock came back with it).
Demo::LoopbackResult E2ELifecycle::SleepAndWake(Demo::Recorder& recorder)
{
    if (!StreamUntil(recorder, kRate / 2)) {
        return {};
    }
    system.sleepSystem();
    EXPECT_TRUE(Idle()) << "the drivers powered down with the device streaming";
    const Demo::LoopbackResult before = recorder.loopback();
    system.wakeSystem();
    EXPECT_TRUE(
        Eventually([&] { return recorder.loopback().framesCompared >= before.framesCompared + kRate; }));
    const Demo::LoopbackResult after = recorder.loopback();
    EXPECT_EQ(after.segments, before.segments + 1);
    return after;
}

TEST_P(E2ELifecycle, SleepAndWakeWhileStreaming)
{
    Demo::Recorder& recorder = NewRecorder();
    SleepAndWake(recorder);
    EXPECT_LE(recorder.timing(1e9 / kRate).jitterMaxUs, 100);
}

// After a wake the new segment holds only frames played after it: the cycles the plug-in refused
// while asleep read silence, not the input of the cycle before.
class E2EWake : public E2ELifecycle
{};

TEST_P(E2EWake, TheSegmentAfterWakeIsClean)
{
    Demo::Recorder& recorder = NewRecorder();
    const Demo::LoopbackResult after = SleepAndWake(recorder);
    ExpectClean(after);
    EXPECT_TRUE(after.latencyConstant);
}

const Driver kDrivers[] = {
    {"DriverExtension", Model::Brio, "LIFE0001"},
    {"KernelExtension", Model::Wrenlet, "LIFE0002"},
};

std::string DriverName(const testing::TestParamInfo<Driver>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Drivers, E2ELifecycle, testing::ValuesIn(kDrivers), DriverName);
INSTANTIATE_TEST_SUITE_P(Drivers, E2EWake, testing::ValuesIn(kDrivers), DriverName);

} // namespace
