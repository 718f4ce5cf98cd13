// More than one interface at once, and what the real-time paths cost the heap: two devices on one
// bus, each with its own UID and stream, and no allocation on the host's IO thread once streaming
// settled, the zero timestamps, the IO operations and the run library's callback among it.

#include <PlugInDevice.h>
#include <Recorder.h>
#include <SimulatedSystem.h>

#include <DemoRun.h>

#include <KorvanInterface/Identity.h>
#include <VorkAllocationCounter.h>

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

constexpr double kDeviceSeconds = 10;
constexpr uint32_t kRate = 48000;
constexpr uint32_t kBuffer = 512;
constexpr UInt32 kClient = 11;
// Cycles before the count starts: the first ones set up what streaming keeps.
constexpr UInt64 kSettlingCycles = 10;

// One plugged-in device streaming into its own recorder.
struct Streamed
{
    uint8_t port;
    Model model;
    std::shared_ptr<KorvanInterface::KorvanDevice> device;
    AudioObjectID id = 0;
    std::unique_ptr<Demo::Recorder> recorder;
};

class E2EDevices : public testing::Test
{
protected:
    void TearDown() override
    {
        for (const Streamed& streamed : streams) {
            host.StopIO(streamed.id, kClient);
            system->unplug(streamed.port);
            EXPECT_TRUE(Demo::WaitForDeviceGone(host, streamed.id, kDeviceSeconds));
        }
    }

    // Plugs `model` with `serial` into `port`; true once the plug-in lists it once, under its UID.
    bool PlugIn(uint8_t port, Model model, const std::string& serial, uint8_t headers = 2)
    {
        Demo::SimulatedSystem::DeviceSettings settings;
        settings.model = model;
        settings.serial = serial;
        settings.headerVersion = headers;
        Streamed streamed{port, model, system->plugIn(port, settings), 0, nullptr};
        const auto found = Demo::WaitForDevice(host, E2E::UidOfSerial(serial), kDeviceSeconds);
        if (!found || !Demo::SetNominalRate(host, *found, kRate, kDeviceSeconds)) {
            return false;
        }
        streamed.id = *found;
        Demo::SetOutputVolumesToFullScale(host, streamed.id);
        streams.push_back(std::move(streamed));
        return true;
    }

    // Starts every plugged-in device with `wrap` around its recorder's callback.
    bool StartAll(const std::function<IOCallback(IOCallback)>& wrap = [](IOCallback inner) { return inner; })
    {
        for (Streamed& streamed : streams) {
            const Demo::DeviceFacts facts = Demo::ReadDeviceFacts(host, streamed.id);
            const auto deviceInputs = uint32_t(KorvanInterface::modelInfo(streamed.model).channels[0].in);
            streamed.recorder = std::make_unique<Demo::Recorder>(facts.inputChannels, kBuffer, kRate);
            streamed.recorder->startSegment({kRate, facts.inputChannels, deviceInputs,
                                             facts.inputChannels > deviceInputs, facts.zeroTimeStampPeriod});
            if (Demo::StartClientIO(host, streamed.id, kClient, kBuffer, wrap(streamed.recorder->callback()),
                                    streamed.recorder->observer())
                    .status != kAudioHardwareNoError) {
                return false;
            }
        }
        return true;
    }

    bool StreamedFor(uint64_t frames)
    {
        return Eventually([&] {
            return std::all_of(streams.begin(), streams.end(), [&](const Streamed& streamed) {
                return streamed.recorder->loopback().framesCompared >= frames;
            });
        });
    }

    static void ExpectClean(const Demo::LoopbackResult& result)
    {
        EXPECT_GT(result.framesCompared, 0u);
        EXPECT_EQ(result.lost, 0u);
        EXPECT_EQ(result.duplicated, 0u);
        EXPECT_EQ(result.mismatchedSamples, 0u);
    }

    AudioServerHost& host = Demo::SharedAudioServer();
    std::unique_ptr<Demo::SimulatedSystem> system;
    std::vector<Streamed> streams;
};

struct Pair
{
    const char* name;
    Demo::DriverChoice driver;
    Model first;
    Model second;
};

void PrintTo(const Pair& pair, std::ostream* out)
{
    *out << pair.name;
}

class E2ETwoInterfaces : public E2EDevices, public testing::WithParamInterface<Pair>
{};

TEST_P(E2ETwoInterfaces, EachAppearsOnceAndStreamsItsOwnAudio)
{
    system = std::make_unique<Demo::SimulatedSystem>(GetParam().driver);
    ASSERT_TRUE(PlugIn(3, GetParam().first, "PAIR0001"));
    ASSERT_TRUE(PlugIn(4, GetParam().second, "PAIR0002"));
    std::vector<std::string> uids;
    for (const AudioObjectID device : host.DeviceList()) {
        std::string uid;
        host.GetString(device, {kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal, 0}, uid);
        uids.push_back(uid);
    }
    for (const char* serial : {"pair0001", "pair0002"}) {
        EXPECT_EQ(
            std::count_if(uids.begin(), uids.end(),
                          [&](const std::string& uid) { return uid.ends_with(std::string(":") + serial); }),
            1)
            << serial;
    }
    ASSERT_TRUE(StartAll());
    ASSERT_TRUE(StreamedFor(kRate));
    for (const Streamed& streamed : streams) {
        SCOPED_TRACE(int(streamed.port));
        ExpectClean(streamed.recorder->loopback());
    }
}

const Pair kPairs[] = {
    {"WrenletAndBrio", Demo::DriverChoice::Auto, Model::Wrenlet, Model::Brio},
    {"TwoWrenlets", Demo::DriverChoice::Kext, Model::Wrenlet, Model::Wrenlet},
};

std::string PairName(const testing::TestParamInfo<Pair>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Pairs, E2ETwoInterfaces, testing::ValuesIn(kPairs), PairName);

// No allocation on the host's IO thread once streaming settled, with and without dropped packets:
// the zero timestamps, the wait, the IO operations, the run library's callback and its hand-over.
struct AllocationRow
{
    const char* name;
    Model model;
    uint8_t headers;
    double dropPercent;
};

void PrintTo(const AllocationRow& row, std::ostream* out)
{
    *out << row.name;
}

class E2EAllocations : public E2EDevices, public testing::WithParamInterface<AllocationRow>
{};

TEST_P(E2EAllocations, NoneOnTheIOThreadOnceStreaming)
{
    system = std::make_unique<Demo::SimulatedSystem>(Demo::DriverChoice::Auto);
    ASSERT_TRUE(PlugIn(5, GetParam().model, "ALLOC001", GetParam().headers));
    std::atomic<size_t> callbackMallocs{0};
    std::atomic<UInt64> countedCycles{0};
    const VorkTesting::MarkedThreadsAllocationCounter allocations;
    ASSERT_TRUE(StartAll([&](IOCallback inner) {
        return [&, inner](const AudioServerPlugInIOCycleInfo& cycle, const std::vector<IOBuffer>& inputs,
                          std::vector<IOBuffer>& outputs) {
            const bool counted = cycle.mIOCycleCounter > kSettlingCycles;
            VorkTesting::markThread(counted);
            const VorkTesting::MallocCounter mallocs;
            inner(cycle, inputs, outputs);
            if (counted) {
                callbackMallocs += mallocs.count();
                ++countedCycles;
            }
        };
    }));
    if (GetParam().dropPercent > 0) {
        system->dropInputPackets(*streams.front().device, system->currentMicroframe() + 800, 16000,
                                 GetParam().dropPercent, 1);
    }
    ASSERT_TRUE(StreamedFor(2 * kRate));
    host.StopIO(streams.front().id, kClient);
    EXPECT_GT(countedCycles.load(), 100u);
    EXPECT_EQ(allocations.count(), 0u);
    EXPECT_EQ(callbackMallocs.load(), 0u);
}

const AllocationRow kAllocationRows[] = {
    {"DriverExtension", Model::Brio, 2, 0},
    {"KernelExtension", Model::Wrenlet, 0, 0},
    {"DriverExtensionDrops", Model::Brio, 2, 1},
    {"KernelExtensionDrops", Model::Wrenlet, 0, 1},
};

std::string AllocationRowName(const testing::TestParamInfo<AllocationRow>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, E2EAllocations, testing::ValuesIn(kAllocationRows), AllocationRowName);

} // namespace
