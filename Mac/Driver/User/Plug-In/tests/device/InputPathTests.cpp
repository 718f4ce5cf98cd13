#include "DeviceFixture.h"
#include "ScriptedInput.h"

#include <algorithm>

#include <DarwinTesting/LogCapture.h>
#include <DarwinTesting/ManualClock.h>

using namespace DeviceTesting;
using namespace KorvanDeviceIO;
using namespace KorvanInterface;
using namespace PlugInTesting;

namespace {

constexpr uint32_t kFramesPerPacket = 6; // 48 kHz

// The chase timer stays still on the manual clock: the reads chase.
class InputPath : public DeviceFixture
{
protected:
    SA_DeviceUSB& Start(Model model, std::optional<uint8_t> headers, Variant variant = Variant::Standard)
    {
        UseModel(model, variant);
        fService.setStreamingHeadersVersion(headers);
        SA_DeviceUSB& device = Activate();
        SubmitFirstOutputBlock();
        EXPECT_EQ(device.StartIO(1), 0);
        fInput = std::make_unique<ScriptedInput>(Ring(), Stride(), device.GetInputChannels(),
                                                 device.GetBusBytesPerSample(),
                                                 device.AreStreamingHeadersEnabled());
        return device;
    }

    USBRequestBlock* Ring()
    {
        return reinterpret_cast<USBRequestBlock*>(fService.ring(kInputRingMemoryType));
    }
    uint32_t Stride() const { return fDevice->GetInIsocInfo().fFamily[0].fMaxPacket; }

    // Reads `frames` frames of `channels` from chase-buffer frame `first` on.
    std::vector<float> Read(uint64_t first, uint32_t frames, uint32_t channels = 0)
    {
        channels = channels == 0 ? fDevice->GetInputChannels() + fDevice->GetExtraInputChannels() : channels;
        std::vector<float> buffer(std::size_t(frames) * channels, -9.0f);
        const uint64_t period = fDevice->GetZeroTimeSamplePeriod();
        const Float64 sampleTime = Float64(first + period - fDevice->GetBufferSyncOffsetSamples() % period);
        fDevice->ReadInputData(fDevice->GetInputStreamID(), frames, sampleTime, buffer.data(), channels);
        return buffer;
    }

    // Chase-buffer frames [first, first + count) hold the device's frames `source`, `source + 1`, ...
    void ExpectFrames(uint64_t first, uint32_t count, uint64_t source)
    {
        const uint32_t channels = fDevice->GetInputChannels();
        const auto buffer = Read(first, count, channels);
        for (uint32_t frame = 0; frame < count; ++frame) {
            for (uint32_t channel = 0; channel < channels; ++channel) {
                ASSERT_EQ(buffer[frame * channels + channel],
                          ScriptedInput::Expected(source + frame, channel))
                    << "chase frame " << first + frame << " channel " << channel;
            }
        }
    }

    void ExpectSilence(uint64_t first, uint32_t count)
    {
        for (float value : Read(first, count, fDevice->GetInputChannels())) {
            ASSERT_EQ(value, 0.0f);
        }
    }

    DarwinTesting::ManualClock fClock;
    std::unique_ptr<ScriptedInput> fInput;
};

TEST_F(InputPath, PacketsAreTakenOnceTheNextHasArrived)
{
    const struct
    {
        const char* name;
        Variant variant;
        std::optional<uint8_t> headers;
    } cases[] = {{"4 bytes, headers v2", Variant::Standard, uint8_t(2)},
                 {"4 bytes, headers v1", Variant::Standard, uint8_t(1)},
                 {"4 bytes, no headers", Variant::Standard, std::nullopt},
                 {"3 bytes, headers v2", Variant::Subslot3, uint8_t(2)},
                 {"3 bytes, no headers", Variant::Subslot3, std::nullopt}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Start(Model::Wrenlet, testCase.headers, testCase.variant);
        for (int packet = 0; packet < 10; ++packet) {
            fInput->Write(kFramesPerPacket);
        }
        ExpectFrames(0, 9 * kFramesPerPacket, 0);
        ExpectSilence(9 * kFramesPerPacket, kFramesPerPacket);
        fInput->Write(kFramesPerPacket);
        ExpectFrames(0, 10 * kFramesPerPacket, 0);
        Renew();
    }
}

TEST_F(InputPath, HeaderOffPacketEndsAtTheFirstStaleFrame)
{
    Start(Model::Brio, std::nullopt);
    fInput->Write(kFramesPerPacket);
    // The second packet's third frame starts with the stale pattern: two frames are taken.
    uint8_t* second = Ring()[1].fBuffer + Stride();
    fInput->Write(kFramesPerPacket);
    std::memset(second + 2 * 2 * 4, kStalePacketByte, kStalePatternBytes);
    fInput->Write(kFramesPerPacket);
    fInput->Write(kFramesPerPacket);
    ExpectFrames(0, 8, 0);
    ExpectFrames(8, 6, 12);
    ExpectSilence(14, 6);
}

TEST_F(InputPath, ExtraInputsCarryLoopbackAndMix)
{
    const struct
    {
        Model model;
        uint32_t channels; // of the buffer
    } cases[] = {{Model::Brio, 6}, {Model::Tenor, 8}, {Model::Basso, 10}, {Model::Brio, 7}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(modelName(testCase.model) + " read with " + std::to_string(testCase.channels));
        SA_DeviceUSB& device = Start(testCase.model, uint8_t(2));
        const uint32_t in = device.GetInputChannels();
        for (int packet = 0; packet < 4; ++packet) {
            fInput->Write(kFramesPerPacket);
        }
        // The output's first two channels feed the loopback pair at the same sample time.
        const uint32_t out = device.GetOutputChannels();
        std::vector<float> output(12 * out);
        for (uint32_t frame = 0; frame < 12; ++frame) {
            output[frame * out] = 0.25f + frame;
            output[frame * out + 1] = -0.5f - frame;
        }
        const uint64_t period = device.GetZeroTimeSamplePeriod();
        const Float64 time = Float64(period - device.GetBufferSyncOffsetSamples() % period);
        device.WriteOutputData(device.GetOutputStreamID(), 12, time, output.data(), out);
        const uint32_t c = testCase.channels;
        const auto buffer = Read(0, 12, c);
        for (uint32_t frame = 0; frame < 12; ++frame) {
            const float* ch = &buffer[frame * c];
            for (uint32_t channel = 0; channel < in; ++channel) {
                ASSERT_EQ(ch[channel], ScriptedInput::Expected(frame, channel));
            }
            EXPECT_EQ(ch[in], 0.25f + frame);
            EXPECT_EQ(ch[in + 1], -0.5f - frame);
            if (c == 7) {
                EXPECT_EQ(ch[6], 0.0f) << "no mix";
                continue;
            }
            const float mix = c == 10 ? (ch[0] + ch[1] + ch[2] + ch[3]) * 0.5f : (ch[0] + ch[1]) * 0.5f;
            const uint32_t first = c - 2;
            const uint32_t base = c == 6 ? 2 : (c == 8 ? 2 : 4);
            EXPECT_EQ(ch[first], c == 6 ? ch[base] + mix : ch[base] + mix + ch[base + 2]);
            EXPECT_EQ(ch[first + 1], c == 6 ? mix + ch[base + 1] : mix + ch[base + 1] + ch[base + 3]);
        }
        Renew();
    }
}

TEST_F(InputPath, MutedChannelsAreSilent)
{
    SA_DeviceUSB& device = Start(Model::Tenor, uint8_t(2));
    const UInt32 on = 1;
    const AudioObjectPropertyAddress mute{kAudioBooleanControlPropertyValue, kAudioObjectPropertyScopeInput,
                                          2};
    device.SetPropertyData(fDeviceID + 3 + 1, 0, mute, 0, nullptr, sizeof(on), &on);
    for (int packet = 0; packet < 3; ++packet) {
        fInput->Write(kFramesPerPacket);
    }
    const auto buffer = Read(0, 12, 8);
    for (uint32_t frame = 0; frame < 12; ++frame) {
        EXPECT_EQ(buffer[frame * 8 + 1], 0.0f);
        EXPECT_EQ(buffer[frame * 8 + 0], ScriptedInput::Expected(frame, 0));
        EXPECT_EQ(buffer[frame * 8 + 2], ScriptedInput::Expected(frame, 2));
    }
}

// Each packet that never arrived becomes exactly its frames of silence, and the first packet after
// the gap follows with its own frames.
TEST_F(InputPath, DroppedPacketsWithHeadersBecomeSilence)
{
    for (uint8_t version : {uint8_t(1), uint8_t(2)}) {
        for (uint32_t lost : {1u, 2u}) {
            SCOPED_TRACE("headers v" + std::to_string(version) + ", " + std::to_string(lost) + " lost");
            Start(Model::Wrenlet, version);
            for (int packet = 0; packet < 5; ++packet) {
                fInput->Write(kFramesPerPacket);
            }
            fInput->Lose(lost, kFramesPerPacket);
            for (int packet = 0; packet < 5; ++packet) {
                fInput->Write(kFramesPerPacket);
            }
            const uint32_t gap = lost * kFramesPerPacket;
            ExpectFrames(0, 30, 0);
            ExpectSilence(30, gap);
            ExpectFrames(30 + gap, 24, 30 + gap);
            ExpectSilence(54 + gap, kFramesPerPacket);
            Renew();
        }
    }
}

// A lost packet followed by a header whose running total jumped by 1000 for good: the repair fails,
// and the chase passes over the lost frames at once, without silence, a hold or a repeat.
TEST_F(InputPath, AStretchThatCannotBeRepairedIsPassedOver)
{
    for (uint8_t version : {uint8_t(1), uint8_t(2)}) {
        SCOPED_TRACE("headers v" + std::to_string(version));
        DarwinTesting::LogCapture capture;
        Start(Model::Wrenlet, version);
        for (int packet = 0; packet < 5; ++packet) {
            fInput->Write(kFramesPerPacket);
        }
        fInput->Lose(1, kFramesPerPacket);
        for (int packet = 0; packet < 5; ++packet) {
            fInput->Write(kFramesPerPacket, 1000);
            // Chased packet by packet, as a busy IO thread would.
            Read(0, 1);
        }
        ExpectFrames(0, 30, 0);
        ExpectFrames(30, 24, 36);
        EXPECT_EQ(fDevice->GetInputSampleFramesCopied(), 54u);
        EXPECT_TRUE(DarwinTesting::eventually([&] {
            const auto texts = capture.texts(DarwinLog::Source::OSLog);
            return std::any_of(texts.begin(), texts.end(), [](const std::string& text) {
                return text.find("!! Calculation error") != std::string::npos;
            });
        }));
        Renew();
    }
}

// After a lost packet, a header whose running total lies behind the last good one's is what the
// controller wrote a ring cycle before: the chase holds before the lost packet.
TEST_F(InputPath, AStretchEndingInOlderFramesHoldsTheChase)
{
    Start(Model::Wrenlet, uint8_t(2));
    for (int packet = 0; packet < 5; ++packet) {
        fInput->Write(kFramesPerPacket);
    }
    fInput->Lose(1, kFramesPerPacket);
    for (int packet = 0; packet < 5; ++packet) {
        fInput->Write(kFramesPerPacket, uint32_t(-1000));
        Read(0, 1);
    }
    ExpectFrames(0, 24, 0);
    ExpectSilence(24, 36);
    EXPECT_EQ(fDevice->GetInputSampleFramesCopied(), 24u);
}

TEST_F(InputPath, LostPacketsWithoutHeadersArePassedOver)
{
    Start(Model::Wrenlet, std::nullopt);
    for (int packet = 0; packet < 5; ++packet) {
        fInput->Write(kFramesPerPacket);
    }
    fInput->Lose(1, kFramesPerPacket);
    for (int packet = 0; packet < 5; ++packet) {
        fInput->Write(kFramesPerPacket);
    }
    fInput->Lose(3, kFramesPerPacket);
    for (int packet = 0; packet < 5; ++packet) {
        fInput->Write(kFramesPerPacket);
    }
    // Frames that never arrived are not counted by the drivers: what came is contiguous.
    ExpectFrames(0, 30, 0);
    ExpectFrames(30, 30, 36);
    ExpectFrames(60, 24, 84);
}

TEST_F(InputPath, LongStretchHoldsTheChase)
{
    for (std::optional<uint8_t> headers : {std::optional<uint8_t>(2), std::optional<uint8_t>()}) {
        SCOPED_TRACE(headers ? "headers" : "no headers");
        Start(Model::Wrenlet, headers);
        for (int packet = 0; packet < 5; ++packet) {
            fInput->Write(kFramesPerPacket);
        }
        fInput->Lose(12, kFramesPerPacket);
        for (int packet = 0; packet < 5; ++packet) {
            fInput->Write(kFramesPerPacket);
        }
        ExpectFrames(0, 24, 0);
        ExpectSilence(24, 60);
        Renew();
    }
}

// Held before a long stretch for a ring cycle, the chase goes on once the controller has written
// the ring there again, and stops where the controller is: beyond it the packets still hold what it
// wrote in the cycle before, which the chase never took, and which are not taken now.
TEST_F(InputPath, AfterAHoldTheChaseTakesNothingOfTheCycleBefore)
{
    Start(Model::Wrenlet, uint8_t(2));
    for (int packet = 0; packet < 5; ++packet) {
        fInput->Write(kFramesPerPacket);
    }
    fInput->Lose(12, kFramesPerPacket);
    for (std::size_t packet = 17; packet < kPacketsPerRing; ++packet) {
        fInput->Write(kFramesPerPacket);
        if (packet % 100 == 0) {
            Read(0, 1);
        }
    }
    // Round again: the last good packet before the stretch and the 20 after it.
    for (int packet = 0; packet < 25; ++packet) {
        fInput->Write(kFramesPerPacket);
    }
    Read(0, 1);
    Read(0, 1);
    const uint64_t again = uint64_t(kPacketsPerRing + 4) * kFramesPerPacket;
    ExpectFrames(0, 24, 0);
    ExpectFrames(24, 20 * kFramesPerPacket, again);
    EXPECT_EQ(fDevice->GetInputSampleFramesCopied(), 24u + 20 * kFramesPerPacket);
}

// While the IO thread chases, the chase timer stays away for 200 ms after its last chase.
TEST_F(InputPath, ChaseTimerLeavesTheIOThreadAlone)
{
    Start(Model::Wrenlet, std::nullopt);
    fInput->Write(kFramesPerPacket);
    fInput->Write(kFramesPerPacket);
    Read(0, 1);
    // Two more packets: the first of them waits only for a chase.
    const uint8_t* waiting = Ring()[1].fBuffer + 2 * Stride();
    fInput->Write(kFramesPerPacket);
    fInput->Write(kFramesPerPacket);
    fClock.advance(std::chrono::milliseconds(195));
    EXPECT_FALSE(HoldsStalePattern(waiting)) << "the timer chased within 200 ms of the IO thread";
    fClock.advance(std::chrono::milliseconds(10));
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!HoldsStalePattern(waiting)) {
        ASSERT_LT(std::chrono::steady_clock::now(), limit) << "the timer never chased after 200 ms";
        fClock.advance(std::chrono::milliseconds(5));
    }
}

// Without headers block 0 holds the drivers' skipped first request; after a wrap the chase must
// wait for the controller there, not take the old data.
TEST_F(InputPath, HeaderOffInputStaysContinuousAcrossRingWraps)
{
    SA_DeviceUSB& device = Start(Model::Brio, std::nullopt);
    ScriptedInput skipped(Ring(), Stride(), device.GetInputChannels(), device.GetBusBytesPerSample(), false,
                          0, 40000);
    for (std::size_t packet = 0; packet < kPacketsPerBlock; ++packet) {
        skipped.Write(kFramesPerPacket);
    }
    const uint64_t period = device.GetZeroTimeSamplePeriod();
    uint64_t checked = 0;
    for (int batch = 0; batch < 70; ++batch) {
        for (int packet = 0; packet < 100; ++packet) {
            fInput->Write(kFramesPerPacket);
        }
        // The last packet waits for its successor.
        const uint64_t chased = fInput->FramesSent() - kFramesPerPacket;
        Read(0, 1);
        while (checked < chased) {
            const uint32_t count = uint32_t(std::min<uint64_t>(chased - checked, period - checked % period));
            ExpectFrames(checked % period, count, checked);
            if (HasFatalFailure()) {
                return;
            }
            checked += count;
        }
    }
    EXPECT_GT(checked, 2 * kPacketsPerRing * kFramesPerPacket);
}

} // namespace

namespace {

// On the stepped driver, whose input starts at block 0: the chase skips that block, so chase frame 0
// holds the device's frame 960.
class SteppedInput : public InputPath
{
protected:
    static constexpr uint64_t kFirstChasedFrame = kPacketsPerBlock * kFramesPerPacket;

    // Whether the device's log holds `line` so many times, once its lines have been posted.
    bool Posted(const std::string& line, std::size_t times) const
    {
        return DarwinTesting::eventually([&] {
            const auto texts = fCapture.texts(DarwinLog::Source::OSLog);
            return std::size_t(std::count_if(texts.begin(), texts.end(), [&](const std::string& text) {
                       return text.find(line) != std::string::npos;
                   })) == times;
        });
    }

    DarwinTesting::LogCapture fCapture;
};

// Packet 1000 carries the device's frames 6000 to 6005, with a running total 1000 too high. Its
// header and the next are reported as not following on; the frames go on as sent.
TEST_F(SteppedInput, ACorruptedHeaderIsReportedAndTheFramesGoOn)
{
    fService.setStreamingHeadersVersion(uint8_t(2));
    Activate();
    StreamFormat format = SteppedFormat(fClock, true);
    format.fCorruptedMicroframes = {1000};
    ASSERT_EQ(StartOnSteppedDriver(format), 0);

    ExpectFrames(6000 - kFirstChasedFrame - 60, 120, 6000 - 60);
    EXPECT_TRUE(Posted("!!! fInSampleFramesChased: 6000, packet header: (7006, 6)", 1));
    EXPECT_TRUE(Posted("!!! fInSampleFramesChased: 7006, packet header: (6012, 6)", 1));
    EXPECT_TRUE(Posted("ASSERTION FAILURE", 2));
}

// When the driver stops writing, the chase holds before the last packet that arrived, and what it
// copied stays in place.
TEST_F(SteppedInput, ADriverThatStopsWritingHoldsTheChase)
{
    fService.setStreamingHeadersVersion(uint8_t(2));
    Activate();
    ASSERT_EQ(StartOnSteppedDriver(SteppedFormat(fClock, true)), 0);
    fService.completeRequest();
    fService.stopWriting();
    fService.advance(8 * 10);
    const uint64_t written = fDevice->GetInputSampleFramesCopied();
    fService.advance(8 * 500);
    EXPECT_EQ(fDevice->GetInputSampleFramesCopied(), written);
    ExpectFrames(written - 120, 120, kFirstChasedFrame + written - 120);
}

} // namespace
