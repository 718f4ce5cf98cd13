#include "LateInputRequest.h"

#include <KextTestSupport.h>
#include <ManualBusClock.h>

#include <KorvanInterface/Descriptors.h>
#include <KorvanRequestRing.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>

namespace KextTesting {
namespace {

using namespace KorvanDeviceIO;
using namespace std::chrono_literals;
using KorvanInterface::Family;
using KorvanInterface::Variant;

constexpr uint64_t kFramesPerBlock = 20;
constexpr int kRequests = 250;

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

// Five seconds of streaming against a Wrenlet on the manual clock, the rings read after every
// request. Time stands still while the driver works, so no request of a sound driver is ever late
// and every frame snapshot catches its boundary.
class KextStreamingConfiguration : public KextFixture, public testing::WithParamInterface<Configuration>
{
protected:
    void TearDown() override
    {
        // The device leaves the bus on the manual clock, which then has nothing left to serve.
        KextFixture::TearDown();
        fBusClock.reset();
    }

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

    // The first frame of one direction, from the driver's log line.
    bool firstFrame(bool input, uint64_t& frame) const
    {
        for (const std::string& line : logLines()) {
            uint64_t values[4] = {};
            if (std::sscanf(line.c_str(),
                            "first in req %" SCNu64 " (%" SCNu64 "), first out req %" SCNu64 " (%" SCNu64 ")",
                            &values[0], &values[1], &values[2], &values[3]) == 4) {
                frame = values[input ? 0 : 2];
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

    // Blocks of one request each, from the first frame of the direction (the input's first block,
    // skipped, left out) on, none missing: each at the bus's start of its frame, with continuous
    // byte counts.
    void expectEveryRequestOnTheBusClock(const Headers& headers, bool input) const
    {
        const char* ring = input ? "input" : "output";
        uint64_t frame = 0;
        ASSERT_TRUE(firstFrame(input, frame));
        frame += input ? kFramesPerBlock : 0;
        // All but the requests in flight at the stop.
        ASSERT_GE(headers.size(), size_t(kRequests - 20)) << ring;
        const BlockHeader* previous = nullptr;
        for (const auto& [hostTime, header] : headers) {
            EXPECT_EQ(hostTime, ManualBusClock::frameStart(frame)) << ring << " frame " << frame;
            if (previous) {
                EXPECT_EQ(header.fStartByteCount, previous->fEndByteCount) << ring << " frame " << frame;
            }
            previous = &header;
            frame += kFramesPerBlock;
        }
    }

    std::optional<ManualBusClock> fBusClock;
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

    fBusClock.emplace();
    workLoop->closeGate();
    const IOReturn started = provider->StartAudioDMA(
        KorvanInterface::kRecordInterface, alternate, channels.in * options.subslotSize,
        KorvanInterface::kPlaybackInterface, alternate, channels.out * options.subslotSize);
    workLoop->openGate();
    ASSERT_EQ(started, kIOReturnSuccess);

    IOMemoryDescriptor* inputRing = provider->GetBufferDesc(1);
    IOMemoryDescriptor* outputRing = provider->GetBufferDesc(2);
    Headers in;
    Headers out;
    for (int request = 0; request < kRequests; ++request) {
        fBusClock->clock().advance(20ms);
        collect(inputRing, in);
        collect(outputRing, out);
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
    expectEveryRequestOnTheBusClock(in, true);
    expectEveryRequestOnTheBusClock(out, false);
    EXPECT_TRUE(fModel->mirrorMismatches().empty()) << fModel->mirrorMismatches().size() << " microframes";
    for (const std::string& line : logLines()) {
        // A late input request loses the input between the frame it was meant for and the one it
        // went to.
        EXPECT_FALSE(ParseLateInputRequest(line)) << line;
        for (const char* trouble : {"USB IN ERR", "OH NO, bad index", "UpdateFrameTimestamps FAIL"}) {
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
