#include "LateInputRequest.h"

#include <KextTestSupport.h>

#include <KorvanInterface/Descriptors.h>
#include <KorvanRequestRing.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace KextTesting {
namespace {

using namespace KorvanDeviceIO;
using KorvanInterface::Family;
using KorvanInterface::Variant;

constexpr double kFrameNanoseconds = 1'000'000;
constexpr uint64_t kFramesPerBlock = 20;
// An output request goes this many frames after the input request it mirrors.
constexpr uint64_t kOutputDistance = 300;
constexpr uint64_t kTolerance = 100'000;
// The driver times a block from its latest frame snapshot, read within 10 µs of its boundary, at the
// mean of four frame periods, each measured between snapshots at least a request (20 frames) apart:
// a period errs by at most 2 x 10 µs / 20 frames. An output block is timed that much further off for
// each of the frames it lies ahead of the input it mirrors.
constexpr uint64_t kPeriodErrorPerFrame = 1'000;

struct Configuration
{
    const char* name;
    uint32_t rate;
    Family family;
    Variant variant;
};

void PrintTo(const Configuration& c, std::ostream* out)
{
    *out << c.name;
}

// Five seconds of streaming on the real clock against a Wrenlet, the rings read as they go round.
class KextStreamingConfiguration : public KextFixture, public testing::WithParamInterface<Configuration>
{
protected:
    // Each block the driver wrote, by its host time; a later reading of a block replaces an earlier.
    using Headers = std::map<uint64_t, BlockHeader>;

    static void collect(IOMemoryDescriptor* ring, Headers& headers)
    {
        const auto* blocks = static_cast<const uint8_t*>(ring->getKernelAddress());
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            const BlockHeader header = ReadBlockHeader(
                *reinterpret_cast<const USBRequestBlock*>(blocks + RequestBlockOffset(index)));
            if (header.fHostTime != 0) {
                headers[header.fHostTime] = header;
            }
        }
    }

    // The first frame and its predicted host time of one direction, from the driver's log line.
    bool firstRequest(bool input, uint64_t& frame, uint64_t& hostTime) const
    {
        for (const std::string& line : logLines()) {
            uint64_t values[4] = {};
            if (std::sscanf(line.c_str(),
                            "first in req %" SCNu64 " (%" SCNu64 "), first out req %" SCNu64 " (%" SCNu64 ")",
                            &values[0], &values[1], &values[2], &values[3]) == 4) {
                frame = values[input ? 0 : 2];
                hostTime = values[input ? 1 : 3];
                return true;
            }
        }
        return false;
    }

    // Whether any block has a microframe or a second chase record: this driver writes neither.
    static bool writesMicroframesOrSecondChase(IOMemoryDescriptor* ring)
    {
        const auto* blocks = static_cast<const uint8_t*>(ring->getKernelAddress());
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            const auto& block = *reinterpret_cast<const USBRequestBlock*>(blocks + RequestBlockOffset(index));
            const auto* chase = reinterpret_cast<const uint8_t*>(&block.fChase[1]);
            if (ReadBlockHeader(block).fMicroframe != 0 ||
                std::any_of(chase, chase + sizeof(ChaseRecord), [](uint8_t byte) { return byte != 0; })) {
                return true;
            }
        }
        return false;
    }

    // The input requests the driver queued after the bus had passed their frame, as it logged them:
    // the frame each was late for and the frame it went to instead.
    std::vector<std::pair<uint64_t, uint64_t>> lateRequests() const
    {
        std::vector<std::pair<uint64_t, uint64_t>> late;
        for (const std::string& line : logLines()) {
            if (const auto request = ParseLateInputRequest(line)) {
                late.emplace_back(request->late, request->queued);
            }
        }
        return late;
    }

    // Blocks 20 frames apart, each at the bus's true start of its frame, with continuous byte counts.
    // Where the driver queued an input request late, the input goes on from the frame it went to,
    // and the output, which keeps its distance from the input, as far.
    void expectOnTheBusClock(const Headers& headers, bool input) const
    {
        const char* ring = input ? "input" : "output";
        uint64_t firstFrame = 0;
        uint64_t firstTime = 0;
        ASSERT_TRUE(firstRequest(input, firstFrame, firstTime));
        ASSERT_GT(headers.size(), 200u) << ring;
        const uint64_t distance = input ? 0 : kOutputDistance;
        const uint64_t tolerance = kTolerance + distance * kPeriodErrorPerFrame;
        const std::vector<std::pair<uint64_t, uint64_t>> late = lateRequests();
        const SimUSB::FrameClock& clock = SimUSB::Bus::shared().frameClock();
        const BlockHeader* previous = nullptr;
        uint64_t previousFrame = 0;
        for (const auto& [hostTime, header] : headers) {
            const uint64_t frame =
                firstFrame +
                uint64_t(std::llround((double(hostTime) - double(firstTime)) / kFrameNanoseconds));
            const uint64_t trueTime = clock.microframeStart(frame * 8);
            EXPECT_LE(hostTime > trueTime ? hostTime - trueTime : trueTime - hostTime, tolerance)
                << ring << " frame " << frame;
            if (previous) {
                const bool requeued = std::any_of(late.begin(), late.end(), [&](const auto& request) {
                    return previousFrame + kFramesPerBlock == request.first + distance &&
                           frame == request.second + distance;
                });
                EXPECT_TRUE(requeued || frame == previousFrame + kFramesPerBlock)
                    << ring << " frame " << frame << " after " << previousFrame;
                EXPECT_EQ(header.fStartByteCount, previous->fEndByteCount) << ring << " frame " << frame;
            }
            previous = &header;
            previousFrame = frame;
        }
    }
};

TEST_P(KextStreamingConfiguration, StreamsOnTheBusClockWithOutputClockedByInput)
{
    const Configuration& c = GetParam();
    const KorvanInterface::DescriptorOptions options = wrenlet(c.variant);
    plugIn(options);
    ASSERT_NE(startControl(false), nullptr);
    com_vork_driver_tide_provider* provider = fControl->GetProvider();
    const KorvanInterface::ChannelCounts channels = options.channels[size_t(c.family)];
    const uint32_t alternate = uint32_t(c.family) + 1;
    IOWorkLoop* workLoop = fControl->getWorkLoop();

    USBUACControlRequest rate{1, 1, KorvanInterface::Entity::kClockSource, 4, {}};
    std::memcpy(rate.fData, &c.rate, 4);
    USBControlResponse response{};
    workLoop->closeGate();
    const IOReturn rateSet = provider->SendUACControlRequest(&rate, &response);
    workLoop->openGate();
    ASSERT_EQ(rateSet, kIOReturnSuccess);
    ASSERT_TRUE(DarwinTesting::startedWithin([&] {
        workLoop->closeGate();
        const IOReturn started = provider->StartAudioDMA(
            KorvanInterface::kRecordInterface, alternate, channels.in * options.subslotSize,
            KorvanInterface::kPlaybackInterface, alternate, channels.out * options.subslotSize);
        workLoop->openGate();
        return started == kIOReturnSuccess;
    }));

    IOMemoryDescriptor* inputRing = provider->GetBufferDesc(1);
    IOMemoryDescriptor* outputRing = provider->GetBufferDesc(2);
    Headers in;
    Headers out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end) {
        collect(inputRing, in);
        collect(outputRing, out);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    workLoop->closeGate();
    provider->StopAudioDMA();
    workLoop->openGate();
    collect(inputRing, in);
    collect(outputRing, out);
    EXPECT_FALSE(writesMicroframesOrSecondChase(inputRing));
    EXPECT_FALSE(writesMicroframesOrSecondChase(outputRing));
    inputRing->release();
    outputRing->release();

    // The first input block is skipped and the last ones were in flight at the stop: no counts.
    std::erase_if(in, [](const auto& entry) { return entry.second.fEndByteCount == 0; });
    expectOnTheBusClock(in, true);
    expectOnTheBusClock(out, false);
    EXPECT_TRUE(fModel->mirrorMismatches().empty()) << fModel->mirrorMismatches().size() << " microframes";
    // A snapshot that fails ("UpdateFrameTimestamps FAIL") leaves the driver on its previous clock: a
    // virtual machine's host can take the CPU across every boundary one snapshot looks at (see
    // DarwinTesting::startedWithin). Whether the clock held shows in the blocks' times above.
    for (const std::string& line : logLines()) {
        for (const char* trouble : {"USB IN ERR", "OH NO, bad index"}) {
            EXPECT_EQ(line.find(trouble), std::string::npos) << line;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, KextStreamingConfiguration,
                         testing::Values(Configuration{"Single48k", 48000, Family::Single, Variant::Standard},
                                         Configuration{"Quad192k", 192000, Family::Quad, Variant::Standard},
                                         Configuration{"Subslot3", 48000, Family::Single, Variant::Subslot3}),
                         [](const testing::TestParamInfo<Configuration>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace KextTesting
