// Everything at once, for the thread sanitizer: two devices on the two drivers stream while a
// thread reads their properties, through a rate change the device announces, one an application
// asks for, the computer's sleep and wake, and an unplug and re-plug of one device. Losses and late
// cycles are not judged here; what counts is that nothing races and everything shuts down.

#include <PlugInDevice.h>
#include <Recorder.h>
#include <SimulatedSystem.h>

#include <DemoRun.h>

#include <KorvanInterface/Identity.h>

#include "E2EWait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using E2E::Eventually;
using KorvanInterface::Model;

constexpr double kDeviceSeconds = 20;
constexpr uint32_t kRate = 48000;
constexpr uint32_t kChangedRate = 96000;
constexpr uint32_t kBuffer = 512;
constexpr UInt32 kClient = 21;
constexpr uint32_t kMaxChannels = 32;
// Five stretches of streaming make the run's 10 s of audio.
constexpr auto kStretch = 2s;

struct Device
{
    Device(uint8_t port, Model model, const char* serial, uint8_t headers) : port(port)
    {
        settings.model = model;
        settings.serial = serial;
        settings.headerVersion = headers;
    }

    uint8_t port;
    Demo::SimulatedSystem::DeviceSettings settings;
    std::shared_ptr<KorvanInterface::KorvanDevice> model;
    std::atomic<AudioObjectID> id{0};
    std::unique_ptr<Demo::Recorder> recorder;
};

class E2EStress : public testing::Test
{
protected:
    // The device is the one the plug-in lists after the plug: under the sanitizer the kernel
    // extension may set its UID after the plug-in's one retry, so the UID does not name it here.
    bool PlugIn(Device& device)
    {
        const std::vector<AudioObjectID> before = host.DeviceList();
        device.model = system.plugIn(device.port, device.settings);
        AudioObjectID found = 0;
        host.WaitForDeviceList([&](const std::vector<AudioObjectID>& devices) {
            for (const AudioObjectID id : devices) {
                if (std::find(before.begin(), before.end(), id) == before.end()) {
                    found = id;
                    return true;
                }
            }
            return false;
        });
        if (found == 0 || !Demo::SetNominalRate(host, found, kRate, kDeviceSeconds)) {
            return false;
        }
        device.id = found;
        Demo::SetOutputVolumesToFullScale(host, found);
        return true;
    }

    bool Start(Device& device)
    {
        const Demo::DeviceFacts facts = Demo::ReadDeviceFacts(host, device.id);
        device.recorder = std::make_unique<Demo::Recorder>(kMaxChannels, kBuffer, kRate);
        device.recorder->startSegment(
            {kRate, facts.inputChannels, facts.inputChannels, false, facts.zeroTimeStampPeriod});
        return host.StartIO(device.id, kClient, kBuffer, device.recorder->callback(),
                            device.recorder->observer()) == kAudioHardwareNoError;
    }

    // Streams on, and true when every device's cycles moved meanwhile.
    bool StreamOn()
    {
        std::vector<UInt64> before;
        for (Device* device : {&kernel, &driver}) {
            const IORunner* runner = host.Runner(device->id, kClient);
            before.push_back(runner != nullptr ? runner->CycleCount() : 0);
        }
        std::this_thread::sleep_for(kStretch);
        size_t index = 0;
        for (Device* device : {&kernel, &driver}) {
            const IORunner* runner = host.Runner(device->id, kClient);
            if (runner == nullptr || runner->CycleCount() <= before[index++]) {
                return false;
            }
        }
        return true;
    }

    AudioServerHost& host = Demo::SharedAudioServer();
    Demo::SimulatedSystem system{Demo::DriverChoice::Auto};
    Device kernel{6, Model::Wrenlet, "STRS0001", 0};
    Device driver{7, Model::Brio, "STRS0002", 2};
};

// Held back: the sanitizer reports no race here any more, but under its slowness the rate change
// the device announces sometimes does not reach the host within the wait, and a device's cycles
// then stand still for a stretch. Run it with --gtest_also_run_disabled_tests.
TEST_F(E2EStress, DISABLED_TwoDevicesThroughRateChangesSleepAndReplug)
{
    ASSERT_TRUE(PlugIn(kernel));
    ASSERT_TRUE(PlugIn(driver));
    ASSERT_TRUE(Start(kernel));
    ASSERT_TRUE(Start(driver));

    std::atomic<bool> reading{true};
    std::atomic<uint64_t> reads{0};
    std::thread reader([&] {
        while (reading) {
            for (const AudioObjectID device : host.DeviceList()) {
                const Demo::DeviceFacts facts = Demo::ReadDeviceFacts(host, device);
                reads += facts.rate > 0 ? 1 : 0;
            }
            std::this_thread::sleep_for(1ms);
        }
    });

    EXPECT_TRUE(StreamOn());
    driver.model->changeRateFromDevice(kChangedRate);
    EXPECT_TRUE(Eventually([&] { return Demo::ReadDeviceFacts(host, driver.id).rate == kChangedRate; }));
    EXPECT_TRUE(Demo::SetNominalRate(host, kernel.id, kChangedRate, kDeviceSeconds));
    EXPECT_TRUE(StreamOn());

    system.sleepSystem();
    system.wakeSystem();
    EXPECT_TRUE(StreamOn());

    system.unplug(driver.port);
    EXPECT_TRUE(Demo::WaitForDeviceGone(host, driver.id, kDeviceSeconds));
    host.StopIO(driver.id, kClient);
    ASSERT_TRUE(PlugIn(driver));
    ASSERT_TRUE(Start(driver));
    EXPECT_TRUE(StreamOn());
    EXPECT_TRUE(StreamOn());

    reading = false;
    reader.join();
    EXPECT_GT(reads.load(), 0u);
    for (Device* device : {&kernel, &driver}) {
        host.StopIO(device->id, kClient);
        EXPECT_GT(device->recorder->loopback().framesCompared, 0u);
        system.unplug(device->port);
        EXPECT_TRUE(Demo::WaitForDeviceGone(host, device->id, kDeviceSeconds));
    }
}

} // namespace
