#include "BusTestSupport.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace std::chrono_literals;
using SimUSB::ControlAnswer;

namespace {

struct ControlCase
{
    const char* name;
    ControlAnswer answer;
    uint32_t timeoutMs;
    std::chrono::milliseconds notYet;  // the transfer is still waiting after this
    std::chrono::milliseconds outcome; // and has its outcome after this
    SimUSB::Status status;
    uint32_t length;
};

ControlAnswer late(uint64_t ms, std::vector<uint8_t> bytes)
{
    ControlAnswer answer = ControlAnswer::withData(std::move(bytes));
    answer.delay = ms * 1'000'000;
    return answer;
}

class ControlTransferTest : public testing::TestWithParam<ControlCase>
{
protected:
    DarwinTesting::ManualClock clock;
    SimUSBTests::EchoBus echoBus;
};

TEST_P(ControlTransferTest, OutcomeComesWhenTheClockSaysSo)
{
    const ControlCase& c = GetParam();
    echoBus.echo->setVendorAnswer(c.answer);
    uint8_t data[8] = {};
    auto result = std::async(std::launch::async, [&] {
        return echoBus.device->control({0xC0, 2, 0, 0, sizeof(data)}, data, c.timeoutMs);
    });
    if (c.notYet.count() != 0) {
        // The transfer waits on the clock before time moves.
        ASSERT_TRUE(DarwinTesting::eventually([&] { return clock.nextDeadline() != DarwinClock::kNever; }));
        clock.advance(c.notYet);
        EXPECT_EQ(result.wait_for(0s), std::future_status::timeout);
    }
    clock.advance(c.outcome - c.notYet);
    const SimUSB::ControlResult outcome = result.get();
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.length, c.length);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ControlTransferTest,
    testing::Values(ControlCase{"Stall", ControlAnswer::stall(), 500, 0ms, 0ms, SimUSB::kStalled, 0},
                    ControlCase{"HangTimesOutAtTheTimeOut", ControlAnswer::hang(), 500, 499ms, 500ms,
                                SimUSB::kTimedOut, 0},
                    ControlCase{"LateAnswerInsideTheTimeOut", late(300, {1, 2, 3, 4}), 500, 299ms, 300ms,
                                SimUSB::kSuccess, 4},
                    ControlCase{"LateAnswerPastTheTimeOut", late(600, {1, 2, 3, 4}), 500, 499ms, 500ms,
                                SimUSB::kTimedOut, 0},
                    ControlCase{"ShortAnswerReportsItsLength", ControlAnswer::withData({9, 8, 7}), 500, 0ms,
                                0ms, SimUSB::kSuccess, 3},
                    ControlCase{"LongAnswerIsCutToWLength",
                                ControlAnswer::withData(std::vector<uint8_t>(20, 1)), 500, 0ms, 0ms,
                                SimUSB::kSuccess, 8},
                    ControlCase{"EmptyAnswerIsASuccess", ControlAnswer::withData({}), 500, 0ms, 0ms,
                                SimUSB::kSuccess, 0}),
    [](const testing::TestParamInfo<ControlCase>& info) { return std::string(info.param.name); });

TEST(ControlTransfer, DataReachesTheModelAndComesBack)
{
    SimUSBTests::EchoBus echoBus;
    uint8_t stored[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(echoBus.device->control({0x40, 1, 0, 0, 5}, stored, 500).length, 5u);
    uint8_t back[16] = {};
    const auto result = echoBus.device->control({0xC0, 1, 0, 0, 16}, back, 500);
    EXPECT_EQ(result.length, 5u);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 5), std::vector<uint8_t>(stored, stored + 5));
}

TEST(ControlTransfer, UnplugWhileWaitingAborts)
{
    SimUSBTests::EchoBus echoBus;
    echoBus.echo->setVendorAnswer(ControlAnswer::hang());
    uint8_t data[1];
    auto result = std::async(std::launch::async, [&] {
        return echoBus.device->control({0xC0, 2, 0, 0, 1}, data, 0).status;
    });
    // The transfer may not have started yet; either way it ends without an answer.
    echoBus.bus.detach(1);
    const SimUSB::Status status = result.get();
    EXPECT_TRUE(status == SimUSB::kAborted || status == SimUSB::kNoDevice) << std::hex << status;
}

TEST(ControlTransfer, SetInterfaceChangesTheEndpoints)
{
    SimUSBTests::EchoBus echoBus;
    EXPECT_FALSE(echoBus.device->endpoint(SimUSBTesting::EchoDevice::kIsochronousIn));
    echoBus.selectStreaming();
    EXPECT_EQ(echoBus.device->alternateSetting(1), 1);
    const auto endpoint = echoBus.device->endpoint(SimUSBTesting::EchoDevice::kIsochronousIn);
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->type, SimUSB::TransferType::Isochronous);
    EXPECT_EQ(endpoint->bytesPerMicroframe, 512u);
    EXPECT_EQ(endpoint->interface, 1);
    const auto settings = echoBus.echo->interfaceSettings();
    ASSERT_EQ(settings.size(), 1u);
    EXPECT_EQ(settings[0], std::make_pair(uint8_t(1), uint8_t(1)));
}

TEST(ControlTransfer, RefusedSetInterfaceKeepsTheEndpoints)
{
    SimUSBTests::EchoBus echoBus;
    EXPECT_EQ(echoBus.device->control({0x01, 11, 5, 1, 0}, nullptr, 500).status, SimUSB::kStalled);
    EXPECT_EQ(echoBus.device->alternateSetting(1), 0);
    EXPECT_TRUE(echoBus.echo->interfaceSettings().empty());
}

TEST(BytesPerMicroframe, FollowsTheTransactionCount)
{
    EXPECT_EQ(SimUSB::bytesPerMicroframe(0x0200), 512u);
    EXPECT_EQ(SimUSB::bytesPerMicroframe(0x1400), 3072u);
    EXPECT_EQ(SimUSB::bytesPerMicroframe(0x0A35), 565u * 2);
    EXPECT_EQ(SimUSB::bytesPerMicroframe(0x1C00), 3072u);
}

} // namespace
