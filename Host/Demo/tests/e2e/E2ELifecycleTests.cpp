// The device's life around a stream: unplugged while streaming and plugged in again, and the
// plug-in's delayed stop after the last client.

#include <DemoRun.h>
#include <PlugInDevice.h>
#include <Recorder.h>
#include <SimulatedSystem.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kPort = 2;
constexpr UInt32 kClient = 7;
constexpr double kDeviceSeconds = 10;

template <typename Predicate>
bool Eventually(Predicate predicate, std::chrono::milliseconds limit = 10s)
{
    const auto deadline = Clock::now() + limit;
    while (!predicate()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class E2ELifecycle : public testing::Test
{
protected:
    void SetUp() override
    {
        settings.model = KorvanInterface::Model::Brio;
        settings.serial = "LIFE0001";
        settings.headerVersion = 2;
        device = system.plugIn(kPort, settings);
        const auto found = Demo::WaitForDevice(host, "life0001", kDeviceSeconds);
        ASSERT_TRUE(found.has_value());
        id = *found;
    }

    void TearDown() override
    {
        host.StopIO(id, kClient);
        system.unplug(kPort);
        EXPECT_TRUE(Demo::WaitForDeviceGone(host, id, kDeviceSeconds));
    }

    // Streams into a new recorder until `frames` frames came back.
    bool StreamUntil(Demo::Recorder& recorder, uint64_t frames)
    {
        const Demo::DeviceFacts facts = Demo::ReadDeviceFacts(host, id);
        recorder.startSegment({48000, facts.inputChannels, 2, true, facts.zeroTimeStampPeriod});
        if (host.StartIO(id, kClient, 512, recorder.callback(), recorder.observer()) !=
            kAudioHardwareNoError) {
            return false;
        }
        return Eventually([&] { return recorder.loopback().framesCompared >= frames; });
    }

    AudioServerHost& host = Demo::SharedAudioServer();
    Demo::SimulatedSystem system{Demo::DriverChoice::Dext};
    Demo::SimulatedSystem::DeviceSettings settings;
    std::shared_ptr<KorvanInterface::KorvanDevice> device;
    AudioObjectID id = 0;
};

TEST_F(E2ELifecycle, UnpluggedWhileStreamingEndsTheIOAndReturnsWithTheSameUID)
{
    Demo::Recorder first(8, 512, 48000);
    ASSERT_TRUE(StreamUntil(first, 24000));
    system.unplug(kPort);
    EXPECT_TRUE(Demo::WaitForDeviceGone(host, id, kDeviceSeconds));
    EXPECT_TRUE(Eventually([&] {
        const IORunner* runner = host.Runner(id, kClient);
        return runner == nullptr || runner->EndedByPlugIn();
    }));
    host.StopIO(id, kClient);

    device = system.plugIn(kPort, settings);
    const auto back = Demo::WaitForDevice(host, "life0001", kDeviceSeconds);
    ASSERT_TRUE(back.has_value());
    id = *back;
    std::string uid;
    host.GetString(id, {kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal, 0}, uid);
    EXPECT_EQ(uid, "com_vork_driver_tide_control_interface:life0001");
    Demo::Recorder second(8, 512, 48000);
    ASSERT_TRUE(StreamUntil(second, 24000));
    const Demo::LoopbackResult result = second.loopback();
    EXPECT_EQ(result.lost, 0u);
    EXPECT_EQ(result.duplicated, 0u);
    EXPECT_EQ(result.mismatchedSamples, 0u);
}

TEST_F(E2ELifecycle, TheLastStopReachesTheDriverTwoSecondsLater)
{
    Demo::Recorder recorder(8, 512, 48000);
    ASSERT_TRUE(StreamUntil(recorder, 24000));
    const auto stopped = Clock::now();
    host.StopIO(id, kClient);
    ASSERT_TRUE(Eventually([&] {
        return device->alternate(KorvanInterface::kRecordInterface) == 0 &&
               device->alternate(KorvanInterface::kPlaybackInterface) == 0;
    }));
    EXPECT_GE(Clock::now() - stopped, 2000ms);
}

} // namespace
