#include "BusTestSupport.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

using namespace std::chrono_literals;
using SimUSB::Fault;
using SimUSB::IsochronousFrame;
using SimUSBTesting::EchoDevice;
using SimUSBTests::Completions;

namespace {

constexpr uint32_t kMaxPacket = EchoDevice::kIsochronousMaxPacket;

class IsochronousTest : public testing::Test
{
protected:
    void SetUp() override
    {
        echoBus.selectStreaming();
        echoBus.bus.frameClock().restart(DarwinClock::hostNow());
    }

    // A list of `count` entries of `request` bytes each.
    static std::vector<IsochronousFrame> frameList(uint32_t count, uint32_t request)
    {
        std::vector<IsochronousFrame> frames(count);
        for (auto& frame : frames) {
            frame = {0xFFFFFFFF, request, 0xFFFF, 0, 0};
        }
        return frames;
    }

    SimUSB::Status submitIn(std::vector<uint8_t>& data, std::vector<IsochronousFrame>& frames,
                            uint64_t firstFrame)
    {
        return echoBus.device->submitIsochronous(EchoDevice::kIsochronousIn, data.data(), data.size(),
                                                 frames.data(), uint32_t(frames.size()), firstFrame,
                                                 completions.completion());
    }

    uint64_t currentFrame() { return echoBus.bus.frameClock().currentFrame(); }

    DarwinTesting::ManualClock clock;
    SimUSBTests::EchoBus echoBus;
    Completions completions;
};

struct RefusalCase
{
    const char* name;
    uint64_t framesAhead;
    uint32_t request;
    size_t dataLength;
    SimUSB::Status status;
};

class IsochronousRefusalTest : public IsochronousTest, public testing::WithParamInterface<RefusalCase>
{};

TEST_P(IsochronousRefusalTest, RefusesAtOnceAndQueuesNothing)
{
    const RefusalCase& c = GetParam();
    clock.advance(10ms);
    std::vector<uint8_t> data(c.dataLength);
    auto frames = frameList(8, c.request);
    EXPECT_EQ(submitIn(data, frames, currentFrame() + c.framesAhead), c.status);
    clock.advance(1100ms);
    EXPECT_TRUE(completions.results().empty());
    EXPECT_TRUE(echoBus.echo->isochronousInMicroframes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, IsochronousRefusalTest,
    testing::Values(RefusalCase{"CurrentFrame", 0, 512, 8 * 512, SimUSB::kIsoTooOld},
                    RefusalCase{"PastFrame", uint64_t(-3), 512, 8 * 512, SimUSB::kIsoTooOld},
                    RefusalCase{"TooFarAhead", 1001, 512, 8 * 512, SimUSB::kIsoTooNew},
                    RefusalCase{"RequestAboveMaxPacket", 2, 513, 8 * 513, SimUSB::kBadArgument},
                    RefusalCase{"SumAboveBuffer", 2, 512, 8 * 512 - 1, SimUSB::kBadArgument}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST_F(IsochronousTest, AThousandFramesAheadIsAccepted)
{
    std::vector<uint8_t> data(512);
    auto frames = frameList(1, 512);
    EXPECT_EQ(submitIn(data, frames, currentFrame() + 1000), SimUSB::kSuccess);
    echoBus.device->abort(EchoDevice::kIsochronousIn, SimUSB::kAborted);
    EXPECT_EQ(completions.waitFor(1)[0].status, SimUSB::kAborted);
}

TEST_F(IsochronousTest, InPacketsLieAtMaxPacketStridesAndKeepTheFillerPastThem)
{
    echoBus.echo->setIsochronousInLength(100);
    std::vector<uint8_t> data(8 * kMaxPacket, 0xAA);
    auto frames = frameList(8, kMaxPacket);
    const uint64_t first = currentFrame() + 1;
    ASSERT_EQ(submitIn(data, frames, first), SimUSB::kSuccess);
    clock.advance(4ms);
    ASSERT_EQ(completions.results().size(), 1u);
    for (uint32_t i = 0; i < 8; ++i) {
        uint64_t microframe;
        std::memcpy(&microframe, &data[i * kMaxPacket], 8);
        EXPECT_EQ(microframe, first * 8 + i);
        EXPECT_EQ(data[i * kMaxPacket + 99], uint8_t(first * 8 + i));
        EXPECT_EQ(data[i * kMaxPacket + 100], 0xAA);
        EXPECT_EQ(data[(i + 1) * kMaxPacket - 1], 0xAA);
    }
}

TEST_F(IsochronousTest, PacketsAreWrittenWhileTheTransferIsInFlight)
{
    std::vector<uint8_t> data(16 * kMaxPacket, 0xAA);
    auto frames = frameList(16, kMaxPacket);
    const uint64_t first = currentFrame() + 1;
    ASSERT_EQ(submitIn(data, frames, first), SimUSB::kSuccess);
    // Microframe 8 x first + 2 ends at 375 us into the frame; the bus serves it halfway into the next
    // microframe, never on the boundary itself.
    const uint64_t served =
        echoBus.bus.frameClock().microframeStart(first * 8 + 3) + SimUSB::Bus::kServiceDelay;
    clock.advanceTo(served - 1);
    EXPECT_NE(data[1 * kMaxPacket], 0xAA);
    EXPECT_EQ(data[2 * kMaxPacket], 0xAA);
    clock.advanceTo(served);
    EXPECT_NE(data[2 * kMaxPacket], 0xAA);
    EXPECT_EQ(data[3 * kMaxPacket], 0xAA);
    EXPECT_TRUE(completions.results().empty());
    echoBus.device->abort(EchoDevice::kIsochronousIn, SimUSB::kAborted);
    completions.waitFor(1);
}

TEST_F(IsochronousTest, OutPacketsAreTakenContiguously)
{
    const std::vector<uint32_t> requests{10, 0, 300, 512, 7, 100, 1, 50};
    const size_t total = std::accumulate(requests.begin(), requests.end(), size_t(0));
    std::vector<uint8_t> data(total);
    std::iota(data.begin(), data.end(), 0);
    std::vector<IsochronousFrame> frames(requests.size());
    for (size_t i = 0; i < requests.size(); ++i) {
        frames[i] = {0, requests[i], 0, 0, 0};
    }
    const uint64_t first = currentFrame() + 1;
    ASSERT_EQ(echoBus.device->submitIsochronous(EchoDevice::kIsochronousOut, data.data(), data.size(),
                                                frames.data(), uint32_t(frames.size()), first,
                                                completions.completion()),
              SimUSB::kSuccess);
    clock.advance(4ms);
    ASSERT_EQ(completions.results().size(), 1u);
    const auto packets = echoBus.echo->isochronousOutPackets();
    ASSERT_EQ(packets.size(), requests.size());
    size_t offset = 0;
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(packets[i].microframe, first * 8 + i);
        EXPECT_EQ(packets[i].bytes, std::vector<uint8_t>(data.begin() + ptrdiff_t(offset),
                                                         data.begin() + ptrdiff_t(offset + requests[i])));
        EXPECT_EQ(frames[i].completeCount, requests[i]);
        offset += requests[i];
    }
}

TEST_F(IsochronousTest, CompletesOnlyAfterTheLastMicroframeAndTheLatency)
{
    std::vector<uint8_t> data(12 * kMaxPacket);
    auto frames = frameList(12, kMaxPacket);
    const uint64_t first = currentFrame() + 2;
    ASSERT_EQ(submitIn(data, frames, first), SimUSB::kSuccess);
    const uint64_t end = echoBus.bus.frameClock().microframeStart(first * 8 + 12);
    clock.advanceTo(end + SimUSB::Bus::kServiceDelay + 1'000'000 - 1);
    EXPECT_TRUE(completions.results().empty());
    clock.advance(1ns);
    ASSERT_EQ(completions.results().size(), 1u);
    EXPECT_EQ(completions.results()[0].status, SimUSB::kSuccess);
}

TEST_F(IsochronousTest, LatencyIsSettable)
{
    echoBus.bus.setCompletionLatency(5'000'000);
    std::vector<uint8_t> data(8 * kMaxPacket);
    auto frames = frameList(8, kMaxPacket);
    const uint64_t first = currentFrame() + 1;
    ASSERT_EQ(submitIn(data, frames, first), SimUSB::kSuccess);
    clock.advanceTo(echoBus.bus.frameClock().microframeStart(first * 8 + 8) + SimUSB::Bus::kServiceDelay +
                    4'999'999);
    EXPECT_TRUE(completions.results().empty());
    clock.advance(1ns);
    EXPECT_EQ(completions.results().size(), 1u);
}

TEST_F(IsochronousTest, EntriesCarryStatusCountAndTime)
{
    echoBus.echo->setIsochronousInLength(77);
    std::vector<uint8_t> data(8 * kMaxPacket);
    auto frames = frameList(8, kMaxPacket);
    const uint64_t first = currentFrame() + 1;
    ASSERT_EQ(submitIn(data, frames, first), SimUSB::kSuccess);
    clock.advance(4ms);
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(frames[i].status, SimUSB::kSuccess);
        EXPECT_EQ(frames[i].completeCount, 77u);
        EXPECT_EQ(frames[i].timeStamp, echoBus.bus.frameClock().microframeStart(first * 8 + i));
    }
}

TEST_F(IsochronousTest, BabbleLeavesTheSlotAlone)
{
    echoBus.echo->setIsochronousInLength(600);
    std::vector<uint8_t> data(8 * kMaxPacket, 0xAA);
    auto frames = frameList(8, kMaxPacket);
    ASSERT_EQ(submitIn(data, frames, currentFrame() + 1), SimUSB::kSuccess);
    clock.advance(4ms);
    EXPECT_EQ(frames[0].status, SimUSB::kOverrun);
    EXPECT_EQ(frames[0].completeCount, 0u);
    EXPECT_EQ(data[0], 0xAA);
    EXPECT_EQ(completions.results()[0].status, SimUSB::kOverrun);
}

struct InjectionCase
{
    const char* name;
    Fault::Kind kind;
    Fault::Trigger trigger;
    uint64_t first; // for microframes: relative to the transfer's first microframe
    uint64_t count;
    SimUSB::Status status;
    std::vector<SimUSB::Status> entries; // 8 entry statuses
    SimUSB::Status request;
};

class IsochronousInjectionTest : public IsochronousTest, public testing::WithParamInterface<InjectionCase>
{};

TEST_P(IsochronousInjectionTest, AppearsExactlyWhereInjected)
{
    const InjectionCase& c = GetParam();
    const uint64_t first = currentFrame() + 1;
    Fault fault{c.kind, c.trigger, c.first, c.count, c.status};
    if (c.trigger == Fault::Trigger::Microframes) {
        fault.first += first * 8;
    }
    echoBus.bus.injectFault(1, EchoDevice::kIsochronousIn, fault);
    std::vector<uint8_t> data(8 * kMaxPacket, 0xAA);
    auto frames = frameList(8, kMaxPacket);
    ASSERT_EQ(submitIn(data, frames, first), SimUSB::kSuccess);
    clock.advance(4ms);
    ASSERT_EQ(completions.results().size(), 1u);
    EXPECT_EQ(completions.results()[0].status, c.request);
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(frames[i].status, c.entries[i]) << "entry " << i;
        const bool written = c.entries[i] == SimUSB::kSuccess;
        EXPECT_EQ(frames[i].completeCount, written ? 64u : 0u) << "entry " << i;
        EXPECT_EQ(data[i * kMaxPacket] != 0xAA, written) << "entry " << i;
    }
}

constexpr SimUSB::Status ok = SimUSB::kSuccess;
constexpr SimUSB::Status under = SimUSB::kUnderrun;
constexpr SimUSB::Status silent = SimUSB::kNotResponding;
constexpr SimUSB::Status unsent = SimUSB::kNotSent;

INSTANTIATE_TEST_SUITE_P(
    Faults, IsochronousInjectionTest,
    testing::Values(InjectionCase{"DropOne",
                                  Fault::Kind::Drop,
                                  Fault::Trigger::Microframes,
                                  3,
                                  1,
                                  under,
                                  {ok, ok, ok, under, ok, ok, ok, ok},
                                  under},
                    InjectionCase{"DropBurst",
                                  Fault::Kind::Drop,
                                  Fault::Trigger::Microframes,
                                  2,
                                  4,
                                  silent,
                                  {ok, ok, silent, silent, silent, silent, ok, ok},
                                  silent},
                    InjectionCase{"NotSentTransfer",
                                  Fault::Kind::NotSent,
                                  Fault::Trigger::Transfers,
                                  0,
                                  1,
                                  ok,
                                  {unsent, unsent, unsent, unsent, unsent, unsent, unsent, unsent},
                                  unsent},
                    InjectionCase{"NotSentLaterTransfer",
                                  Fault::Kind::NotSent,
                                  Fault::Trigger::Transfers,
                                  1,
                                  1,
                                  ok,
                                  {ok, ok, ok, ok, ok, ok, ok, ok},
                                  ok},
                    InjectionCase{"RequestStatus",
                                  Fault::Kind::RequestStatus,
                                  Fault::Trigger::Transfers,
                                  0,
                                  1,
                                  0xE0001111,
                                  {ok, ok, ok, ok, ok, ok, ok, ok},
                                  0xE0001111},
                    InjectionCase{"NoAnswerFromNow",
                                  Fault::Kind::NoAnswer,
                                  Fault::Trigger::FromNow,
                                  0,
                                  0,
                                  ok,
                                  {silent, silent, silent, silent, silent, silent, silent, silent},
                                  silent}),
    [](const testing::TestParamInfo<InjectionCase>& info) { return std::string(info.param.name); });

TEST_F(IsochronousTest, UnplugInFlightAbortsAndLaterRequestsFindNoDevice)
{
    std::vector<uint8_t> data(80 * kMaxPacket);
    auto frames = frameList(80, kMaxPacket);
    ASSERT_EQ(submitIn(data, frames, currentFrame() + 1), SimUSB::kSuccess);
    clock.advance(4ms);
    echoBus.bus.detach(1);
    const auto result = completions.waitFor(1)[0];
    EXPECT_EQ(result.status, SimUSB::kAborted);
    EXPECT_EQ(frames[79].status, SimUSB::kAborted);
    EXPECT_EQ(submitIn(data, frames, currentFrame() + 1), SimUSB::kNoDevice);
    uint8_t buffer[8];
    EXPECT_EQ(echoBus.device->submit(EchoDevice::kInterruptIn, buffer, 8, 0, {}), SimUSB::kNoDevice);
}

TEST_F(IsochronousTest, UnplugFaultInTheMiddleOfATransfer)
{
    const uint64_t first = currentFrame() + 1;
    echoBus.bus.injectFault(1, EchoDevice::kIsochronousIn,
                            {Fault::Kind::Unplug, Fault::Trigger::Microframes, first * 8 + 5, 1});
    std::vector<uint8_t> data(8 * kMaxPacket);
    auto frames = frameList(8, kMaxPacket);
    ASSERT_EQ(submitIn(data, frames, first), SimUSB::kSuccess);
    clock.advance(4ms);
    echoBus.bus.settle();
    EXPECT_EQ(completions.results()[0].status, SimUSB::kAborted);
    EXPECT_EQ(frames[4].status, SimUSB::kSuccess);
    EXPECT_EQ(frames[5].status, SimUSB::kAborted);
    EXPECT_EQ(echoBus.listener.left().size(), 1u);
}

TEST_F(IsochronousTest, HeldTransferGoesOnFromTheMicroframeUnderWayOnceCleared)
{
    echoBus.bus.injectFault(1, EchoDevice::kIsochronousIn, {Fault::Kind::Hold, Fault::Trigger::FromNow});
    const uint64_t first = currentFrame() + 1;
    std::vector<uint8_t> data(24 * kMaxPacket, 0xAA);
    auto frames = frameList(24, kMaxPacket);
    ASSERT_EQ(submitIn(data, frames, first), SimUSB::kSuccess);
    constexpr uint32_t kCleared = 10;
    clock.advanceTo(echoBus.bus.frameClock().microframeStart(first * 8 + kCleared) + 10'000);
    EXPECT_TRUE(completions.results().empty());
    EXPECT_TRUE(echoBus.echo->isochronousInMicroframes().empty());
    EXPECT_EQ(frames[0].completeCount, 0u);

    echoBus.bus.clearFaults(1);
    clock.advance(5ms);
    const auto results = completions.waitFor(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, SimUSB::kNotSent);
    std::vector<uint64_t> served;
    for (uint32_t i = 0; i < 24; ++i) {
        const bool missed = i < kCleared;
        EXPECT_EQ(frames[i].status, missed ? SimUSB::kNotSent : SimUSB::kSuccess) << "entry " << i;
        EXPECT_EQ(frames[i].completeCount, missed ? 0u : 64u) << "entry " << i;
        EXPECT_EQ(data[i * kMaxPacket] != 0xAA, !missed) << "entry " << i;
        if (!missed) {
            served.push_back(first * 8 + i);
        }
    }
    EXPECT_EQ(echoBus.echo->isochronousInMicroframes(), served);
}

TEST_F(IsochronousTest, HeldTransfersCompleteWithTheAbortStatusAndTheEndpointStreamsOnceCleared)
{
    echoBus.bus.injectFault(1, EchoDevice::kIsochronousIn, {Fault::Kind::Hold, Fault::Trigger::FromNow});
    std::vector<uint8_t> data(16 * kMaxPacket);
    auto frames = frameList(16, kMaxPacket);
    const uint64_t first = currentFrame() + 1;
    ASSERT_EQ(submitIn(data, frames, first), SimUSB::kSuccess);
    std::vector<uint8_t> laterData(8 * kMaxPacket);
    auto laterFrames = frameList(8, kMaxPacket);
    ASSERT_EQ(submitIn(laterData, laterFrames, first + 2), SimUSB::kSuccess);
    clock.advance(10ms);
    EXPECT_TRUE(completions.results().empty());

    echoBus.device->abort(EchoDevice::kIsochronousIn, SimUSB::kAborted);
    const auto aborted = completions.waitFor(2);
    ASSERT_EQ(aborted.size(), 2u);
    EXPECT_EQ(aborted[0].status, SimUSB::kAborted);
    EXPECT_EQ(aborted[1].status, SimUSB::kAborted);
    EXPECT_EQ(frames[0].status, SimUSB::kAborted);
    EXPECT_EQ(laterFrames[7].status, SimUSB::kAborted);
    EXPECT_TRUE(echoBus.echo->isochronousInMicroframes().empty());

    echoBus.bus.clearFaults(1);
    auto again = frameList(8, kMaxPacket);
    ASSERT_EQ(submitIn(data, again, currentFrame() + 1), SimUSB::kSuccess);
    clock.advance(4ms);
    const auto results = completions.waitFor(3);
    EXPECT_EQ(results[2].status, SimUSB::kSuccess);
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(again[i].status, SimUSB::kSuccess) << "entry " << i;
    }
}

} // namespace
