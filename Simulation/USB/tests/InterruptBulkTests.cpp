#include "BusTestSupport.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <numeric>

using SimUSBTesting::EchoDevice;
using SimUSBTests::Completions;

namespace {

TEST(BulkTransfer, ReadsCompleteInOrderAndAShortPacketEndsOne)
{
    SimUSBTests::EchoBus echoBus;
    Completions reads;
    std::vector<uint8_t> buffers[3];
    for (auto& buffer : buffers) {
        buffer.assign(1024, 0);
        ASSERT_EQ(echoBus.device->submit(EchoDevice::kBulkIn, buffer.data(), 1024, 0, reads.completion()),
                  SimUSB::kSuccess);
    }
    std::vector<uint8_t> sent(2600);
    std::iota(sent.begin(), sent.end(), 0);
    Completions writes;
    ASSERT_EQ(echoBus.device->submit(EchoDevice::kBulkOut, sent.data(), 2600, 0, writes.completion()),
              SimUSB::kSuccess);
    EXPECT_EQ(writes.waitFor(1)[0].actual, 2600u);

    const auto results = reads.waitFor(3);
    EXPECT_EQ(results[0].actual, 1024u);
    EXPECT_EQ(results[1].actual, 1024u);
    EXPECT_EQ(results[2].actual, 552u);
    std::vector<uint8_t> received;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(results[i].status, SimUSB::kSuccess);
        received.insert(received.end(), buffers[i].begin(), buffers[i].begin() + results[i].actual);
    }
    EXPECT_EQ(received, sent);
    EXPECT_LE(results[0].timestamp, results[1].timestamp);
}

// In the prompt setting bulk data moves while the manual clock stands still; only a read that
// finds nothing waits for the next microframe.
TEST(BulkTransfer, PromptSettingMovesDataWithoutWireTime)
{
    DarwinTesting::ManualClock clock;
    SimUSBTests::EchoBus echoBus;
    echoBus.bus.setPromptBulk(true);
    const uint64_t start = DarwinClock::hostNow();
    std::vector<uint8_t> sent(1100);
    std::iota(sent.begin(), sent.end(), 0);
    Completions writes;
    ASSERT_EQ(echoBus.device->submit(EchoDevice::kBulkOut, sent.data(), 1100, 0, writes.completion()),
              SimUSB::kSuccess);
    std::vector<uint8_t> received(2048, 0);
    Completions reads;
    ASSERT_EQ(echoBus.device->submit(EchoDevice::kBulkIn, received.data(), 2048, 0, reads.completion()),
              SimUSB::kSuccess);
    // Without the clock moving.
    ASSERT_TRUE(writes.arrive(1, std::chrono::seconds(5)));
    ASSERT_TRUE(reads.arrive(1, std::chrono::seconds(5)));
    EXPECT_EQ(writes.results()[0].timestamp, start);
    const auto result = reads.results()[0];
    EXPECT_EQ(result.status, SimUSB::kSuccess);
    EXPECT_EQ(result.timestamp, start);
    ASSERT_EQ(result.actual, 1100u);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), received.begin()));

    Completions waiting;
    ASSERT_EQ(echoBus.device->submit(EchoDevice::kBulkIn, received.data(), 64, 0, waiting.completion()),
              SimUSB::kSuccess);
    uint8_t late[3] = {7, 8, 9};
    Completions lateWrite;
    ASSERT_EQ(echoBus.device->submit(EchoDevice::kBulkOut, late, 3, 0, lateWrite.completion()),
              SimUSB::kSuccess);
    lateWrite.waitFor(1);
    clock.advance(std::chrono::microseconds(125) + std::chrono::nanoseconds(SimUSB::Bus::kServiceDelay));
    const auto found = waiting.waitFor(1)[0];
    EXPECT_EQ(found.actual, 3u);
    EXPECT_GT(found.timestamp, start);
}

TEST(InterruptTransfer, OneReadCompletesPerMessage)
{
    SimUSBTests::EchoBus echoBus;
    Completions reads;
    uint8_t buffers[2][8] = {};
    for (auto& buffer : buffers) {
        echoBus.device->submit(EchoDevice::kInterruptIn, buffer, 8, 0, reads.completion());
    }
    echoBus.echo->postInterrupt({1, 2, 3, 4, 5, 6});
    echoBus.echo->postInterrupt({7});
    const auto results = reads.waitFor(2);
    EXPECT_EQ(results[0].actual, 6u);
    EXPECT_EQ(results[1].actual, 1u);
    EXPECT_EQ(buffers[0][5], 6);
    EXPECT_EQ(buffers[1][0], 7);
}

TEST(InterruptTransfer, BabbleIsAnOverrunWithNoData)
{
    SimUSBTests::EchoBus echoBus;
    Completions reads;
    uint8_t buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), 0xEE);
    echoBus.device->submit(EchoDevice::kInterruptIn, buffer, 16, 0, reads.completion());
    echoBus.echo->postInterrupt(std::vector<uint8_t>(9, 1));
    const auto result = reads.waitFor(1)[0];
    EXPECT_EQ(result.status, SimUSB::kOverrun);
    EXPECT_EQ(result.actual, 0u);
    EXPECT_EQ(buffer[0], 0xEE);
}

TEST(InterruptTransfer, AbortCompletesEverythingPendingWithTheStatus)
{
    SimUSBTests::EchoBus echoBus;
    Completions reads;
    uint8_t buffers[4][8];
    for (auto& buffer : buffers) {
        echoBus.device->submit(EchoDevice::kInterruptIn, buffer, 8, 0, reads.completion());
    }
    echoBus.device->abort(EchoDevice::kInterruptIn, 0xE0001234);
    for (const auto& result : reads.waitFor(4)) {
        EXPECT_EQ(result.status, 0xE0001234u);
        EXPECT_EQ(result.actual, 0u);
    }
}

// Aborts its endpoint from the first completion, as a driver's completion handler may.
struct AbortingReader
{
    SimUSB::HostDevice* device;
    Completions rest;
    bool aborted = false;

    static void first(void* context, const SimUSB::TransferResult&)
    {
        auto* self = static_cast<AbortingReader*>(context);
        self->device->abort(EchoDevice::kInterruptIn, SimUSB::kAborted);
        self->aborted = true;
    }
};

TEST(InterruptTransfer, AbortFromACompletionReturns)
{
    SimUSBTests::EchoBus echoBus;
    AbortingReader reader{echoBus.device.get(), {}};
    uint8_t buffers[3][8];
    echoBus.device->submit(EchoDevice::kInterruptIn, buffers[0], 8, 0, {&AbortingReader::first, &reader});
    echoBus.device->submit(EchoDevice::kInterruptIn, buffers[1], 8, 0, reader.rest.completion());
    echoBus.device->submit(EchoDevice::kInterruptIn, buffers[2], 8, 0, reader.rest.completion());
    echoBus.echo->postInterrupt({1});
    const auto results = reader.rest.waitFor(2);
    EXPECT_TRUE(reader.aborted);
    EXPECT_EQ(results[0].status, SimUSB::kAborted);
    EXPECT_EQ(results[1].status, SimUSB::kAborted);
}

TEST(InterruptTransfer, RefusedOnAnEndpointThatDoesNotExist)
{
    SimUSBTests::EchoBus echoBus;
    uint8_t buffer[8];
    EXPECT_EQ(echoBus.device->submit(0x85, buffer, 8, 0, {}), SimUSB::kBadArgument);
    EXPECT_EQ(echoBus.device->submit(EchoDevice::kIsochronousIn, buffer, 8, 0, {}), SimUSB::kBadArgument);
}

TEST(InterruptTransfer, StallHaltsTheEndpointUntilClearFeature)
{
    SimUSBTests::EchoBus echoBus;
    echoBus.bus.injectFault(1, EchoDevice::kInterruptIn,
                            {SimUSB::Fault::Kind::Stall, SimUSB::Fault::Trigger::Transfers, 0, 1});
    Completions reads;
    uint8_t buffer[8];
    echoBus.device->submit(EchoDevice::kInterruptIn, buffer, 8, 0, reads.completion());
    EXPECT_EQ(reads.waitFor(1)[0].status, SimUSB::kStalled);
    EXPECT_EQ(echoBus.device->submit(EchoDevice::kInterruptIn, buffer, 8, 0, reads.completion()),
              SimUSB::kStalled);
    EXPECT_EQ(echoBus.device->control({0x02, 1, 0, EchoDevice::kInterruptIn, 0}, nullptr, 500).status,
              SimUSB::kSuccess);
    EXPECT_EQ(echoBus.device->submit(EchoDevice::kInterruptIn, buffer, 8, 0, reads.completion()),
              SimUSB::kSuccess);
    echoBus.echo->postInterrupt({5});
    EXPECT_EQ(reads.waitFor(2)[1].status, SimUSB::kSuccess);
}

} // namespace

#include <DarwinTesting/ManualClock.h>

namespace {

using namespace std::chrono_literals;

TEST(InterruptTransfer, TimesOutWhenTheManualClockPassesItsTimeOut)
{
    DarwinTesting::ManualClock clock;
    SimUSBTests::EchoBus echoBus;
    Completions reads;
    uint8_t buffer[8];
    echoBus.device->submit(EchoDevice::kInterruptIn, buffer, 8, 100, reads.completion());
    clock.advance(99ms);
    EXPECT_TRUE(reads.results().empty());
    clock.advance(1ms);
    ASSERT_EQ(reads.results().size(), 1u);
    EXPECT_EQ(reads.results()[0].status, SimUSB::kTimedOut);
}

// A no-data time-out counts from the last byte moved: a read that keeps receiving outlives it,
// and ends by it, with the bytes moved, once the data stops.
TEST(BulkTransfer, NoDataTimeOutCountsFromTheLastByte)
{
    DarwinTesting::ManualClock clock;
    SimUSBTests::EchoBus echoBus;
    std::vector<uint8_t> buffer(2048);
    Completions reads;
    ASSERT_EQ(echoBus.device->submit(EchoDevice::kBulkIn, buffer.data(), 2048, 0, reads.completion(), 2),
              SimUSB::kSuccess);
    std::vector<uint8_t> packet(512, 0x5A);
    Completions writes;
    for (int i = 0; i < 3; ++i) {
        echoBus.device->submit(EchoDevice::kBulkOut, packet.data(), 512, 0, writes.completion());
        clock.advance(std::chrono::milliseconds(1));
    }
    // The last packet moved at about 2.25 ms.
    clock.advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(reads.results().empty());
    clock.advance(std::chrono::milliseconds(1));
    ASSERT_EQ(reads.results().size(), 1u);
    EXPECT_EQ(reads.results()[0].status, SimUSB::kTimedOut);
    EXPECT_EQ(reads.results()[0].actual, 1536u);
}

// bInterval 4: the endpoint is polled every 8 microframes, the first time at the next multiple of 8,
// each time halfway into the microframe.
TEST(InterruptTransfer, PolledEveryTwoToTheIntervalLessOneMicroframes)
{
    DarwinTesting::ManualClock clock;
    SimUSBTests::EchoBus echoBus;
    SimUSB::FrameClock& frames = echoBus.bus.frameClock();
    frames.restart(DarwinClock::hostNow());
    echoBus.echo->postInterrupt({1});
    echoBus.echo->postInterrupt({2});
    Completions reads;
    uint8_t buffer[8];
    for (uint64_t poll : {8u, 16u}) {
        echoBus.device->submit(EchoDevice::kInterruptIn, buffer, 8, 0, reads.completion());
        const uint64_t served = frames.microframeStart(poll) + SimUSB::Bus::kServiceDelay;
        clock.advanceTo(served - 1);
        EXPECT_EQ(reads.results().size(), poll / 8 - 1) << "before microframe " << poll;
        clock.advanceTo(served);
        ASSERT_EQ(reads.results().size(), poll / 8) << "in microframe " << poll;
        EXPECT_EQ(reads.results().back().timestamp, served);
    }
}

} // namespace
