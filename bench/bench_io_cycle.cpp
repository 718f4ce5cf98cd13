// One IO cycle of 512 frames on a USB device: DoIOOperation 'read' and 'rite', the IO lock included,
// on rings the stepped scripted driver refreshes by one cycle's packets before each cycle, at 48,
// 96 and 192 kHz with 2, 20 and 32 channels, with streaming headers (version 2) and without. The
// peer copies the same bytes with memcpy: the ring bytes the chase consumes, the floats handed out
// and taken, and the bytes written into the output block. Each case also counts the cycle's share
// of its duration and the cost of GetZeroTimeStamp. Pairs:
//   io_cycle         the cycle against the peer's copies;
//   io_cycle_repair  a cycle whose input lost the longest stretch of packets a repair takes, against
//                    memset of one zero-time period of the chase buffer.

#include "FakeKernelUserClient.h"
#include "KorvanService.h"
#include "RecordingHost.h"
#include "SA_DeviceUSB.h"
#include "SA_Host.h"
#include "SA_ObjectMap.h"
#include "WorkLoopThread.h"

#include <DarwinTesting/ManualClock.h>
#include <KorvanInterface/Descriptors.h>
#include <benchmark/benchmark.h>
#include <mach/mach_time.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

namespace {

using namespace KorvanDeviceIO;

constexpr UInt32 kFrames = 512;
constexpr UInt32 kSafetyOffset = 16;
constexpr uint16_t kVendorID = 0x2B3C;
// Where the lost stretches begin, just after the start, one in each cycle; their length is the
// longest that a repair finds within its search of nine packets.
constexpr uint64_t kFirstLossMicroframe = 3200;
constexpr uint64_t kLostPackets = 9;
constexpr int64_t kIterations = 1000;

struct Case
{
    uint32_t fRate;
    uint32_t fChannels;
    bool fHeaders;
    bool fLosses = false;
};

std::string NameOf(const Case& c)
{
    return "r" + std::to_string(c.fRate / 1000) + "k_ch" + std::to_string(c.fChannels) +
           (c.fHeaders ? "_v2" : "_off");
}

std::vector<uint8_t> RateBytes(uint32_t rate)
{
    return {uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16), uint8_t(rate >> 24)};
}

// A device on the stepped scripted driver with IO running, as the audio server leaves it after
// StartIO. Everything waits on the manual clock, which only the driver's steps move.
class SteppedDevice
{
public:
    explicit SteppedDevice(const Case& c) : fCase(c)
    {
        Host_SetHost(fHost.Ref());
        fThread.Start();
        KorvanInterface::DescriptorOptions options(KorvanInterface::Model::Wrenlet, kVendorID);
        for (KorvanInterface::ChannelCounts& family : options.channels) {
            family = {uint8_t(c.fChannels), uint8_t(c.fChannels)};
        }
        fService.setDescriptors(KorvanInterface::buildDescriptors(options).configuration);
        fService.setCurValue(KorvanInterface::Entity::kClockSelector, 1, {1});
        fService.setCurValue(KorvanInterface::Entity::kClockSource, 1, RateBytes(c.fRate));
        fService.setStreamingHeadersVersion(c.fHeaders ? std::optional<uint8_t>(2) : std::nullopt);
        DeviceInfoRequest identity{};
        std::strncpy(identity.fUID, "bench0001", sizeof(identity.fUID) - 1);
        std::strncpy(identity.fProductName, options.product.c_str(), sizeof(identity.fProductName) - 1);
        fService.setIdentity(identity);
        fService.publish();
        fDeviceID = SA_ObjectMap::GetNextObjectID();
        const io_service_t handle = fService.copyHandle();
        fDevice = new SA_DeviceUSB(fDeviceID, KorvanService(handle, KorvanService::kBusTypeUSB),
                                   fThread.fWorkLoop.get());
        IOObjectRelease(handle);
        SA_ObjectMap::MapObject(fDeviceID, fDevice);
        fDevice->Activate();
    }

    ~SteppedDevice()
    {
        fDevice->Deactivate();
        SA_ObjectMap::UnmapObject(fDeviceID, fDevice);
        fThread.Stop();
        Host_SetHost(nullptr);
    }

    SteppedDevice(const SteppedDevice&) = delete;
    SteppedDevice& operator=(const SteppedDevice&) = delete;

    // False when the device cannot stream this case or the start failed.
    bool Start()
    {
        if (fDevice->GetInputChannels() != fCase.fChannels ||
            fDevice->GetOutputChannels() != fCase.fChannels) {
            return false;
        }
        PlugInTesting::StreamFormat format;
        const std::size_t family = fCase.fRate / 48000 / 2;
        format.fInputStride = fDevice->GetInIsocInfo().fFamily[family].fMaxPacket;
        format.fBytesPerSample = fDevice->GetBusBytesPerSample();
        format.fRate = fCase.fRate;
        format.fHeaders = fCase.fHeaders;
        format.fSteppedClock = &fClock;
        if (fCase.fLosses) {
            for (uint64_t cycle = 0; cycle < 2 * kIterations; ++cycle) {
                const uint64_t first = kFirstLossMicroframe + cycle * kFrames * 8000 / fCase.fRate;
                for (uint64_t packet = 0; packet < kLostPackets; ++packet) {
                    format.fLostMicroframes.push_back(first + packet);
                }
            }
        }
        fService.setStreaming(format);
        auto start = std::async(std::launch::async, [this] { return fDevice->StartIO(1); });
        while (fService.runState() == 0 &&
               start.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
            std::this_thread::yield();
        }
        while (start.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
            fService.advance(1);
        }
        return start.get() == 0;
    }

    // The driver's packets of `frames` more device frames, the clock moving with them.
    void Step(uint64_t frames)
    {
        const uint64_t framesPerPacket = fCase.fRate / 8000;
        fFramesDue += frames;
        const uint64_t packets = fFramesDue / framesPerPacket;
        fFramesDue %= framesPerPacket;
        fService.advance(packets);
    }

    // One cycle as the audio server's IO thread runs it; the seconds of each part.
    struct Timing
    {
        double fCycle;
        double fZeroTime;
    };
    Timing Cycle(std::vector<float>& input, std::vector<float>& output)
    {
        using Clock = std::chrono::steady_clock;
        const auto begin = Clock::now();
        Float64 zeroSample = 0;
        UInt64 zeroHost = 0;
        UInt64 seed = 0;
        fDevice->GetZeroTimeStamp(zeroSample, zeroHost, seed);
        const auto zeroTimeEnd = Clock::now();
        const UInt64 now = mach_absolute_time();
        const Float64 sampleNow = zeroSample + Float64(now - zeroHost) * fCase.fRate / 1e9;
        AudioServerPlugInIOCycleInfo cycle{};
        cycle.mInputTime.mSampleTime = sampleNow - kFrames - kSafetyOffset;
        cycle.mOutputTime.mSampleTime = sampleNow + kSafetyOffset + kFrames;
        const auto ioBegin = Clock::now();
        fDevice->DoIOOperation(fDevice->GetInputStreamID(), kAudioServerPlugInIOOperationReadInput, kFrames,
                               cycle, input.data());
        fDevice->DoIOOperation(fDevice->GetOutputStreamID(), kAudioServerPlugInIOOperationWriteMix, kFrames,
                               cycle, output.data());
        const auto end = Clock::now();
        return {std::chrono::duration<double>(end - ioBegin).count(),
                std::chrono::duration<double>(zeroTimeEnd - begin).count()};
    }

    UInt32 InputBufferChannels() const
    {
        return fDevice->GetInputChannels() + fDevice->GetExtraInputChannels();
    }

private:
    Case fCase;
    DarwinTesting::ManualClock fClock;
    PlugInTesting::RecordingHost fHost;
    PlugInTesting::FakeKernelService fService{"bench0001"};
    WorkLoopThread2 fThread;
    AudioObjectID fDeviceID = 0;
    SA_DeviceUSB* fDevice = nullptr;
    uint64_t fFramesDue = 0;
};

void Ours(benchmark::State& state, Case c)
{
    SteppedDevice device(c);
    if (!device.Start()) {
        state.SkipWithError("the device does not stream this case");
        return;
    }
    std::vector<float> input(std::size_t(kFrames) * device.InputBufferChannels());
    std::vector<float> output(std::size_t(kFrames) * c.fChannels, 0.25f);
    double busy = 0;
    double zeroTime = 0;
    for (auto _ : state) {
        device.Step(kFrames);
        const SteppedDevice::Timing timing = device.Cycle(input, output);
        busy += timing.fCycle;
        zeroTime += timing.fZeroTime;
        state.SetIterationTime(timing.fCycle);
        benchmark::DoNotOptimize(input.data());
    }
    const double iterations = double(state.iterations());
    state.counters["cycle_share_pct"] = busy / iterations / (double(kFrames) / c.fRate) * 100.0;
    state.counters["zero_time_ns"] = zeroTime / iterations * 1e9;
}

// The bytes of one cycle, copied as the plug-in must at least move them.
void CopyPeer(benchmark::State& state, Case c, uint32_t bytesPerSample)
{
    const std::size_t samples = std::size_t(kFrames) * c.fChannels;
    const std::size_t sizes[] = {samples * bytesPerSample, samples * sizeof(float), samples * sizeof(float),
                                 samples * bytesPerSample};
    std::vector<std::vector<uint8_t>> from;
    std::vector<std::vector<uint8_t>> to;
    for (const std::size_t size : sizes) {
        from.emplace_back(size, 0x5A);
        to.emplace_back(size);
    }
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < from.size(); ++i) {
            std::memcpy(to[i].data(), from[i].data(), from[i].size());
        }
        benchmark::ClobberMemory();
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    }
}

// Silence for one zero-time period of the chase buffer.
void SilencePeer(benchmark::State& state, Case c)
{
    std::vector<float> chase(std::size_t(16384) * c.fChannels);
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        std::memset(chase.data(), 0, chase.size() * sizeof(float));
        benchmark::ClobberMemory();
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    }
}

template <class Ours, class Peer>
void RegisterPair(const std::string& pair, const std::string& argument, Ours ours, Peer peer)
{
    benchmark::RegisterBenchmark((pair + "/ours/" + argument).c_str(), ours)
        ->UseManualTime()
        ->Iterations(kIterations);
    benchmark::RegisterBenchmark((pair + "/peer/" + argument).c_str(), peer)
        ->UseManualTime()
        ->Iterations(kIterations);
}

const int sRegistered = [] {
    for (const uint32_t rate : {48000u, 96000u, 192000u}) {
        for (const uint32_t channels : {2u, 20u, 32u}) {
            for (const bool headers : {true, false}) {
                const Case c{rate, channels, headers};
                RegisterPair(
                    "io_cycle", NameOf(c), [c](benchmark::State& state) { Ours(state, c); },
                    [c](benchmark::State& state) { CopyPeer(state, c, 4); });
            }
        }
    }
    const Case repair{48000, 20, true, true};
    RegisterPair(
        "io_cycle_repair", NameOf(repair), [repair](benchmark::State& state) { Ours(state, repair); },
        [repair](benchmark::State& state) { SilencePeer(state, repair); });
    return 0;
}();

} // namespace

BENCHMARK_MAIN();
