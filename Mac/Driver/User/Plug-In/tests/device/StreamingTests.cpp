#include "DeviceFixture.h"
#include "IORunner.h"
#include "SA_PlugInInterface.h"
#include "ScriptedInput.h"
#include "VorkAllocationCounter.h"

#include <DarwinTesting/LogCapture.h>

#include <atomic>
#include <cmath>
#include <mutex>

using namespace DeviceTesting;
using namespace KorvanDeviceIO;
using namespace KorvanInterface;
using namespace PlugInTesting;

namespace {

constexpr UInt32 kBufferFrames = 512;
constexpr auto kRunTime = std::chrono::seconds(3);

struct Config
{
    const char* name;
    Model model;
    Variant variant;
    std::optional<uint8_t> headers;
    uint32_t rate;
    bool driverExtension = false;
    uint64_t firstFrame = 0;
    std::vector<uint64_t> lost = {};
    uint64_t writerPauseNs = 0;
};

// Two stretches, a single lost packet and a burst of three, well after the first zero-time period.
const std::vector<uint64_t> kLostPackets = {12000, 16000, 16001, 16002};

// Well beyond how far ahead of their time the scripted driver writes its packets.
constexpr uint64_t kWriterLateNs = 150000000;

// While it lives, the scripted driver and the client's IO cycles keep in step as on a machine where
// neither thread wakes late: each input read finds every packet due by its cycle's time written,
// and the driver captures an output block only once the client's output has reached the capture's
// time. On a loaded machine either thread may wake late; then the other waits for it.
class DriverInStepWithClient
{
public:
    explicit DriverInStepWithClient(FakeKernelService& service)
        : fTable(**SA_DriverRef()), fSaved(fTable.DoIOOperation)
    {
        sService = &service;
        sDoIOOperation = fSaved;
        fTable.DoIOOperation = DoIOOperation;
    }
    ~DriverInStepWithClient()
    {
        fTable.DoIOOperation = fSaved;
        sService = nullptr;
    }
    DriverInStepWithClient(const DriverInStepWithClient&) = delete;
    DriverInStepWithClient& operator=(const DriverInStepWithClient&) = delete;

private:
    static OSStatus DoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                  AudioObjectID stream, UInt32 client, UInt32 operation, UInt32 frames,
                                  const AudioServerPlugInIOCycleInfo* cycle, void* main, void* secondary)
    {
        FakeKernelService& service = *sService.load();
        if (operation == kAudioServerPlugInIOOperationReadInput) {
            service.waitForPacketsDue(cycle->mCurrentTime.mHostTime);
        }
        const OSStatus status =
            sDoIOOperation(driver, device, stream, client, operation, frames, cycle, main, secondary);
        if (operation == kAudioServerPlugInIOOperationWriteMix) {
            service.outputWrittenThrough(cycle->mOutputTime.mHostTime +
                                         UInt64(frames * cycle->mDeviceHostTicksPerFrame));
        }
        return status;
    }

    static inline std::atomic<FakeKernelService*> sService{nullptr};
    static inline decltype(AudioServerPlugInDriverInterface::DoIOOperation) sDoIOOperation = nullptr;

    AudioServerPlugInDriverInterface& fTable;
    const decltype(AudioServerPlugInDriverInterface::DoIOOperation) fSaved;
};

// The device on the scripted driver streaming on the real clock, with the audio server's IO
// cycles; every input buffer is kept.
class Streaming : public DeviceFixture, public testing::WithParamInterface<Config>
{
protected:
    void Run()
    {
        const Config& config = GetParam();
        UseModel(config.model, config.variant);
        fService.setStreamingHeadersVersion(config.headers);
        fService.setCurValue(Entity::kClockSource, 1, RateBytes(config.rate));
        SA_DeviceUSB& device = Activate();
        StreamFormat format;
        format.fInputStride = device.GetInIsocInfo().fFamily[0].fMaxPacket;
        format.fBytesPerSample = device.GetBusBytesPerSample();
        format.fRate = config.rate;
        format.fHeaders = config.headers == 1 || config.headers == 2;
        format.fCaptureOutput = true;
        format.fDriverExtension = config.driverExtension;
        format.fFirstFrame = config.firstFrame;
        format.fLostMicroframes = config.lost;
        format.fWriterPauseNs = config.writerPauseNs;
        fService.setStreaming(format);
        fOutChannels = device.GetOutputChannels();

        fChannels = device.GetInputChannels() + device.GetExtraInputChannels();
        const DriverInStepWithClient inStep(fService);
        IOConfiguration io{fDeviceID,
                           1,
                           kBufferFrames,
                           Float64(config.rate),
                           16,
                           16,
                           {{device.GetInputStreamID(), true, 4 * fChannels},
                            {device.GetOutputStreamID(), false, 4 * device.GetOutputChannels()}}};
        IORunner runner(SA_DriverRef(), io,
                        [this](const AudioServerPlugInIOCycleInfo& cycle, const std::vector<IOBuffer>& inputs,
                               std::vector<IOBuffer>& outputs) {
                            std::lock_guard<std::mutex> lock(fMutex);
                            fCycles.push_back({cycle.mInputTime.mSampleTime, inputs.at(0).fBytes});
                            auto* frames = reinterpret_cast<float*>(outputs.at(0).fBytes.data());
                            const auto time = int64_t(cycle.mOutputTime.mSampleTime);
                            for (UInt32 frame = 0; frame < kBufferFrames; ++frame) {
                                for (UInt32 channel = 0; channel < fOutChannels; ++channel) {
                                    frames[frame * fOutChannels + channel] =
                                        OutputValue(uint64_t(time + frame), channel);
                                }
                            }
                        });
        ASSERT_EQ(runner.Start(), 0);
        const auto until = std::chrono::steady_clock::now() + kRunTime;
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        runner.Stop();
    }

    void CheckInput();
    void CheckOutput();

    struct Cycle
    {
        Float64 fInputTime;
        std::vector<UInt8> fBytes;
    };

    // What the client plays at output sample s, channel c: exact in 24 bits, never 0.
    static float OutputValue(uint64_t sample, UInt32 channel)
    {
        return float((sample % 8192) * 32 + channel + 1) / 262144.0f;
    }

    DarwinTesting::LogCapture fCapture;
    UInt32 fOutChannels = 0;
    std::mutex fMutex;
    std::vector<Cycle> fCycles;
    uint32_t fChannels = 0;
};

// The device frame a sample of the scripted signal carries, modulo 2^16.
uint32_t FrameOf(float sample)
{
    const auto value = int64_t(std::llround(double(sample) * 2147483648.0));
    return uint32_t(value >> 16) & 0xFFFF;
}

// Every input buffer after the first zero-time period holds the device's frames at one offset;
// frames of packets that never arrived are silence in their place.
void Streaming::CheckInput()
{
    const bool losses = !GetParam().lost.empty();
    for (const std::string& text : fCapture.texts(DarwinLog::Source::OSLog)) {
        EXPECT_EQ(text.find("ASSERTION FAILURE"), std::string::npos) << text;
        const bool reportedLoss = losses && text.find("!!! Detected ") != std::string::npos;
        EXPECT_TRUE(reportedLoss || text.find("!!!") == std::string::npos) << text;
    }
    std::lock_guard<std::mutex> lock(fMutex);
    ASSERT_GT(fCycles.size(), 100u);
    const uint32_t period = fDevice->GetZeroTimeSamplePeriod();
    std::optional<uint32_t> offset;
    uint64_t checked = 0;
    uint64_t silent = 0;
    for (const Cycle& cycle : fCycles) {
        if (cycle.fInputTime < period) {
            continue;
        }
        const auto* samples = reinterpret_cast<const float*>(cycle.fBytes.data());
        for (UInt32 frame = 0; frame < kBufferFrames; ++frame) {
            const uint32_t time = uint32_t(int64_t(cycle.fInputTime) + frame) & 0xFFFF;
            if (losses && offset && samples[frame * fChannels + 1] == 0.0f) {
                ++silent;
                continue;
            }
            const uint32_t carried = FrameOf(samples[frame * fChannels]);
            if (!offset) {
                offset = (carried - time) & 0xFFFF;
            }
            ASSERT_EQ((time + *offset) & 0xFFFF, carried)
                << "input time " << cycle.fInputTime << " frame " << frame;
            ASSERT_EQ(samples[frame * fChannels + 1], ScriptedInput::Expected(carried, 1)) << "channel 1";
            ++checked;
        }
    }
    EXPECT_GT(checked, 10000u);
    EXPECT_EQ(silent, GetParam().lost.size() * GetParam().rate / 8000);
}

// The device's 24-bit sample of a client value at full gain: rounded in whole groups of four
// channels, truncated in the pair left over.
int32_t Converted(float value, UInt32 channel, UInt32 channels)
{
    const float scaled = value * 2147483392.0f;
    const bool rounded = channel < channels / 4 * 4;
    return (rounded ? int32_t(std::nearbyint(scaled)) : int32_t(scaled)) & ~0xFF;
}

// The output blocks carry the client's frames at one latency.
void Streaming::CheckOutput()
{
    const std::vector<uint8_t> captured = fService.capturedOutput();
    const uint32_t bytesPerSample = fDevice->GetBusBytesPerSample();
    const std::size_t bytesPerFrame = std::size_t(bytesPerSample) * fOutChannels;
    const std::size_t frames = captured.size() / bytesPerFrame;
    ASSERT_GT(frames, 48000u);
    const auto sampleAt = [&](std::size_t frame, UInt32 channel) {
        uint8_t word[4] = {};
        std::memcpy(word + (4 - bytesPerSample), &captured[frame * bytesPerFrame + channel * bytesPerSample],
                    bytesPerSample);
        int32_t sample;
        std::memcpy(&sample, word, 4);
        return sample;
    };
    // The first frame the client wrote, and the sample time it carries.
    std::size_t first = 0;
    while (first < frames && sampleAt(first, 0) == 0) {
        ++first;
    }
    ASSERT_LT(first + 4096, frames);
    const double value = double(sampleAt(first, 0)) / 2147483392.0 * 262144.0;
    const uint64_t carried = (uint64_t(std::llround(value)) - 1) / 32;
    uint64_t checked = 0;
    for (std::size_t frame = first; frame < frames; ++frame) {
        for (UInt32 channel = 0; channel < fOutChannels; ++channel) {
            ASSERT_EQ(sampleAt(frame, channel),
                      Converted(OutputValue(carried + (frame - first), channel), channel, fOutChannels))
                << "output frame " << frame << " channel " << channel;
        }
        ++checked;
    }
    EXPECT_GT(checked, 48000u);
}

TEST_P(Streaming, InputAndOutputFollowTheDevice)
{
    Run();
    CheckInput();
    CheckOutput();
    if (GetParam().driverExtension) {
        // The plug-in leaves the driver extension's record alone, and publishes a packet as
        // chased only once its length is in its own record.
        const ChaseContract contract = fService.chaseContract();
        EXPECT_GT(contract.fBlocksChecked, 50u);
        EXPECT_EQ(contract.fForeignWrites, 0u);
        EXPECT_EQ(contract.fMissingLengths, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, Streaming,
    testing::Values(
        Config{"HeadersV2", Model::Wrenlet, Variant::Standard, uint8_t(2), 48000},
        Config{"HeadersV1", Model::Wrenlet, Variant::Standard, uint8_t(1), 48000},
        Config{"HeadersOff", Model::Wrenlet, Variant::Standard, std::nullopt, 48000},
        Config{"Subslot3", Model::Wrenlet, Variant::Subslot3, uint8_t(2), 48000},
        Config{"Rate44100", Model::Wrenlet, Variant::Standard, uint8_t(2), 44100},
        Config{"Brio", Model::Brio, Variant::Standard, uint8_t(2), 48000},
        Config{"DriverExtension", Model::Wrenlet, Variant::Standard, uint8_t(2), 48000, true},
        Config{"CounterWrap", Model::Wrenlet, Variant::Standard, uint8_t(2), 48000, false,
               (uint64_t(1) << 32) - 1000},
        Config{"LostPacketsV2", Model::Wrenlet, Variant::Standard, uint8_t(2), 48000, false, 0, kLostPackets},
        Config{"LostPacketsV1", Model::Wrenlet, Variant::Standard, uint8_t(1), 48000, false, 0, kLostPackets},
        // Once, the scripted driver's thread sleeps past its lead: packets fall behind their time.
        Config{
            "WriterLate", Model::Wrenlet, Variant::Standard, uint8_t(2), 48000, false, 0, {}, kWriterLateNs}),
    [](const testing::TestParamInfo<Config>& info) { return std::string(info.param.name); });

// While it lives, the plug-in's DoIOOperation and GetZeroTimeStamp count the heap allocations
// they make, operator new and the malloc family, on whatever thread calls them.
class CountedIOEntries
{
public:
    CountedIOEntries() : fTable(**SA_DriverRef()), fSaved(fTable)
    {
        sDoIOOperation = fTable.DoIOOperation;
        sGetZeroTimeStamp = fTable.GetZeroTimeStamp;
        fTable.DoIOOperation = DoIOOperation;
        fTable.GetZeroTimeStamp = GetZeroTimeStamp;
        sCalls = 0;
        sAllocations = 0;
    }
    ~CountedIOEntries() { fTable = fSaved; }
    CountedIOEntries(const CountedIOEntries&) = delete;
    CountedIOEntries& operator=(const CountedIOEntries&) = delete;

    static inline std::atomic<uint64_t> sCalls{0};
    static inline std::atomic<uint64_t> sAllocations{0};

private:
    template <class Call>
    static OSStatus Counted(Call&& call)
    {
        const VorkTesting::AllocationCounter news;
        const VorkTesting::MallocCounter mallocs;
        const OSStatus status = call();
        sAllocations += news.count() + mallocs.count();
        ++sCalls;
        return status;
    }

    static OSStatus DoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                  AudioObjectID stream, UInt32 client, UInt32 operation, UInt32 frames,
                                  const AudioServerPlugInIOCycleInfo* cycle, void* main, void* secondary)
    {
        return Counted([&] {
            return sDoIOOperation(driver, device, stream, client, operation, frames, cycle, main, secondary);
        });
    }

    static OSStatus GetZeroTimeStamp(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client,
                                     Float64* sampleTime, UInt64* hostTime, UInt64* seed)
    {
        return Counted([&] { return sGetZeroTimeStamp(driver, device, client, sampleTime, hostTime, seed); });
    }

    static inline decltype(AudioServerPlugInDriverInterface::DoIOOperation) sDoIOOperation = nullptr;
    static inline decltype(AudioServerPlugInDriverInterface::GetZeroTimeStamp) sGetZeroTimeStamp = nullptr;

    AudioServerPlugInDriverInterface& fTable;
    const AudioServerPlugInDriverInterface fSaved;
};

class IOThreadAllocation : public Streaming
{};

TEST_P(IOThreadAllocation, NoneInsideTheIOOperationsOrTheZeroTimestamps)
{
    {
        const VorkTesting::MallocCounter mallocs;
        const std::string heap(100, 'x');
        ASSERT_GE(mallocs.count(), 1u) << "the counter must see this binary's allocations";
    }
    CountedIOEntries counted;
    Run();
    CheckInput();
    EXPECT_GT(CountedIOEntries::sCalls.load(), 300u) << "a hundred cycles at least";
    EXPECT_EQ(CountedIOEntries::sAllocations.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Configurations, IOThreadAllocation,
                         testing::Values(Config{"LostPackets", Model::Wrenlet, Variant::Standard, uint8_t(2),
                                                48000, false, 0, kLostPackets}),
                         [](const testing::TestParamInfo<Config>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
