// Everything at once, for the thread sanitizer: two devices on the two drivers stream while a
// thread reads their properties, through a rate change the device announces, one an application
// asks for, the computer's sleep and wake, and an unplug and re-plug of one device. Losses and late
// cycles are not judged here; what counts is that nothing races and everything shuts down.

#include <PlugInDevice.h>
#include <Recorder.h>
#include <SimulatedSystem.h>

#include <DemoRun.h>

#include <DarwinTesting/LogCapture.h>
#include <KorvanInterface/Identity.h>

#include "E2EWait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

// The plug-in is loaded with dlopen, so its thread-local objects live in blocks the C library
// allocates per thread and frees when a later thread takes over the finished thread's cached stack.
// The sanitizer does not see the C library's own lock around that cache and reports the free as a
// race with the finished thread's last use.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:_dl_deallocate_tls\n";
}

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
// A stretch of streaming is this many IO cycles of every device: about 2 s at 48 kHz, so that
// five stretches make the run's 10 s of audio. The sanitizer slows the chain down to a fraction of
// the real rate at times, so a stretch waits for cycles, not for a time, within a generous limit.
constexpr uint64_t kStretchCycles = 190;
constexpr auto kStretchLimit = 120s;

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
    // Counted by the client itself, so they go on across the host's restarts of its cycles.
    std::atomic<uint64_t> cycles{0};
    std::atomic<uint32_t> startedRate{0};
    std::atomic<uint32_t> restarts{0};
};

// The reader thread of a test ends with the test, however the test ends.
class PropertyReader
{
public:
    explicit PropertyReader(AudioServerHost& host)
        : fThread([this, &host] {
              while (fReading) {
                  for (const AudioObjectID device : host.DeviceList()) {
                      const Demo::DeviceFacts facts = Demo::ReadDeviceFacts(host, device);
                      fReads += facts.rate > 0 ? 1 : 0;
                  }
                  std::this_thread::sleep_for(1ms);
              }
          })
    {}
    ~PropertyReader() { Stop(); }
    PropertyReader(const PropertyReader&) = delete;
    PropertyReader& operator=(const PropertyReader&) = delete;

    // The reads that found a rate, once the thread has ended.
    uint64_t Stop()
    {
        fReading = false;
        if (fThread.joinable()) {
            fThread.join();
        }
        return fReads;
    }

private:
    std::atomic<bool> fReading{true};
    std::atomic<uint64_t> fReads{0};
    std::thread fThread;
};

class E2EStress : public testing::Test
{
protected:
    // The host outlives the test: however the test ended, the clients' IO stops before their
    // recorders go, and the devices leave the plug-in before the test does, so that no late word of
    // their removal reaches the host while the process ends.
    ~E2EStress() override
    {
        for (Device* device : {&kernel, &driver}) {
            host.StopIO(device->id, kClient);
            system.unplug(device->port);
        }
        host.WaitForDeviceList([](const std::vector<AudioObjectID>& devices) { return devices.empty(); });
    }

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

    // Starts the client's IO as an application does: a start the plug-in refuses is asked for again.
    bool Start(Device& device)
    {
        const Demo::DeviceFacts facts = Demo::ReadDeviceFacts(host, device.id);
        device.recorder = std::make_unique<Demo::Recorder>(kMaxChannels, kBuffer, kRate);
        device.recorder->startSegment(
            {kRate, facts.inputChannels, facts.inputChannels, false, facts.zeroTimeStampPeriod});
        IOCycleObserver recorded = device.recorder->observer();
        return Demo::StartClientIO(
                   host, device.id, kClient, kBuffer, device.recorder->callback(),
                   [&device, recorded](const IOCycleTiming& timing) {
                       ++device.cycles;
                       recorded(timing);
                   },
                   [&device](const IOConfiguration& configuration) {
                       device.startedRate = uint32_t(configuration.fNominalRate);
                   },
                   [&device] { ++device.restarts; })
                   .status == kAudioHardwareNoError;
    }

    // A client whose cycles the host could not start again after a configuration change starts its
    // IO again.
    bool KeepRunning(Device& device)
    {
        host.Drain();
        if (host.Runner(device.id, kClient) != nullptr) {
            return true;
        }
        ++device.restarts;
        host.StopIO(device.id, kClient);
        return Start(device);
    }

    // Streams on until every device ran a stretch's cycles.
    bool StreamOn()
    {
        std::vector<uint64_t> targets;
        for (Device* device : {&kernel, &driver}) {
            targets.push_back(device->cycles + kStretchCycles);
        }
        const auto deadline = Clock::now() + kStretchLimit;
        size_t index = 0;
        for (Device* device : {&kernel, &driver}) {
            const uint64_t target = targets[index++];
            while (device->cycles < target) {
                if (Clock::now() >= deadline || !KeepRunning(*device)) {
                    return false;
                }
                Eventually([&] { return device->cycles >= target; }, 1s);
            }
        }
        return true;
    }

    // The layers' log lines stay in memory, as in the other end-to-end runs: passed on, the plug-in's
    // go to the C library's syslog, which with no log daemon writes each to the console, under one
    // lock that every logging thread then waits for, the real-time ones too.
    DarwinTesting::LogCapture log;
    AudioServerHost& host = Demo::SharedAudioServer();
    Demo::SimulatedSystem system{Demo::DriverChoice::Auto};
    Device kernel{6, Model::Wrenlet, "STRS0001", 0};
    Device driver{7, Model::Brio, "STRS0002", 2};
};

TEST_F(E2EStress, TwoDevicesThroughRateChangesSleepAndReplug)
{
    ASSERT_TRUE(PlugIn(kernel));
    ASSERT_TRUE(PlugIn(driver));
    ASSERT_TRUE(Start(kernel));
    ASSERT_TRUE(Start(driver));
    PropertyReader reader(host);

    EXPECT_TRUE(StreamOn());
    driver.model->changeRateFromDevice(kChangedRate);
    // The announced rate has reached the host once the host started the client's cycles at it.
    EXPECT_TRUE(Eventually([&] { return driver.startedRate == kChangedRate; }, kStretchLimit));
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

    EXPECT_GT(reader.Stop(), 0u);
    for (Device* device : {&kernel, &driver}) {
        std::printf("device %u: %llu cycles, its IO started again %u times by the client\n",
                    unsigned(device->id.load()), static_cast<unsigned long long>(device->cycles.load()),
                    unsigned(device->restarts.load()));
        host.StopIO(device->id, kClient);
        EXPECT_EQ(host.Runner(device->id, kClient), nullptr);
        system.unplug(device->port);
        EXPECT_TRUE(Demo::WaitForDeviceGone(host, device->id, kDeviceSeconds));
    }
}

} // namespace
