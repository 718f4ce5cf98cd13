#include "BusTestSupport.h"

#include <DarwinTesting/LogCapture.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using SimUSB::SetupPacket;
using SimUSBTesting::EchoDevice;
using SimUSBTests::RecordingListener;

namespace {

class EnumerationTest : public testing::Test
{
protected:
    void SetUp() override { bus.addListener(&listener); }
    void TearDown() override
    {
        bus.reset();
        bus.removeListener(&listener);
    }

    DarwinTesting::ManualClock clock;
    SimUSB::Bus bus;
    RecordingListener listener;
};

uint16_t productOf(const SimUSB::HostDevice& device)
{
    return uint16_t(device.deviceDescriptor()[10] | device.deviceDescriptor()[11] << 8);
}

TEST_F(EnumerationTest, DeviceArrivesOnlyAfterItsDelay)
{
    bus.attach(3, std::make_shared<EchoDevice>(), 10'000'000);
    clock.advance(9ms);
    bus.settle();
    EXPECT_TRUE(listener.arrived().empty());
    EXPECT_EQ(bus.device(3), nullptr);

    clock.advance(1ms);
    ASSERT_EQ(listener.arrived().size(), 1u);
    const auto device = listener.arrived()[0];
    EXPECT_EQ(device, bus.device(3));
    EXPECT_EQ(device->port(), 3);
    EXPECT_NE(device->address(), 0);
    EXPECT_EQ(productOf(*device), EchoDevice::kProduct);
    EXPECT_EQ(device->configurationValue(), 1);
    EXPECT_EQ(device->languages(), std::vector<uint16_t>{0x0409});
    EXPECT_EQ(device->configurationDescriptor().size(), device->configurationDescriptor()[2]);
}

TEST_F(EnumerationTest, RunsTheStandardSequenceInOrder)
{
    auto echo = std::make_shared<EchoDevice>();
    bus.attach(1, echo);
    listener.waitForArrival(1);
    const uint8_t address = listener.arrived()[0]->address();
    const auto total = uint16_t(echo->configurationDescriptor(0).size());
    const std::vector<SetupPacket> expected{
        {0x80, 6, 0x0100, 0, 18},    {0x00, 5, address, 0, 0},  {0x80, 6, 0x0200, 0, 9},
        {0x80, 6, 0x0200, 0, total}, {0x80, 6, 0x0300, 0, 255}, {0x00, 9, 1, 0, 0},
    };
    EXPECT_EQ(echo->setups(), expected);
}

TEST_F(EnumerationTest, UnconfiguredDeviceWaitsForTheHostToConfigureIt)
{
    auto echo = std::make_shared<EchoDevice>();
    echo->setEnumeratedUnconfigured(true);
    bus.attach(1, echo);
    const auto device = listener.waitForArrival(1);
    EXPECT_EQ(device->configurationValue(), 0);
    EXPECT_EQ(echo->setups().back().bRequest, SimUSB::Request::kGetDescriptor);
    EXPECT_FALSE(device->endpoint(0x01).has_value());
    uint8_t byte = 0;
    EXPECT_EQ(device->submit(0x01, &byte, 1, 0, {}), SimUSB::kBadArgument);

    EXPECT_EQ(device->control({0x00, SimUSB::Request::kSetConfiguration, 1, 0, 0}, nullptr, 0).status,
              SimUSB::kSuccess);
    EXPECT_EQ(device->configurationValue(), 1);
    EXPECT_TRUE(device->endpoint(0x01).has_value());

    // Read at each enumeration.
    echo->setEnumeratedUnconfigured(false);
    bus.reEnumerate(1, 0);
    EXPECT_EQ(listener.waitForArrival(2)->configurationValue(), 1);
}

TEST_F(EnumerationTest, DetachTellsListenersAndLeavesThePortEmpty)
{
    bus.attach(2, std::make_shared<EchoDevice>());
    const auto device = listener.waitForArrival(1);
    bus.detach(2);
    ASSERT_EQ(listener.left().size(), 1u);
    EXPECT_EQ(listener.left()[0], device);
    EXPECT_FALSE(device->connected());
    EXPECT_EQ(bus.device(2), nullptr);
    EXPECT_EQ(device->control({0x80, 6, 0x0100, 0, 18}, nullptr, 0).status, SimUSB::kNoDevice);
}

// Waiting for the event thread leaves its next deadline registered, so that an advance right after
// finds it. Repeated, since a deadline missing for a moment shows only now and then.
TEST_F(EnumerationTest, AdvanceRightAfterASettleFindsTheDelayedArrival)
{
    auto echo = std::make_shared<EchoDevice>();
    for (size_t round = 1; round <= 500; ++round) {
        bus.attach(1, echo, 1'000'000);
        bus.settle();
        clock.advance(1ms);
        ASSERT_EQ(listener.arrived().size(), round);
    }
}

TEST_F(EnumerationTest, ReEnumerationAttachesTheSameModelAfterTheDelay)
{
    auto echo = std::make_shared<EchoDevice>();
    bus.attach(1, echo);
    listener.waitForArrival(1);
    bus.reEnumerate(1, 50'000'000);
    EXPECT_EQ(listener.left().size(), 1u);
    clock.advance(49ms);
    bus.settle();
    EXPECT_EQ(listener.arrived().size(), 1u);
    clock.advance(1ms);
    EXPECT_EQ(listener.arrived().size(), 2u);
}

TEST_F(EnumerationTest, DeviceThatReEnumeratesAsAnotherIdentityArrivesAsIt)
{
    auto echo = std::make_shared<EchoDevice>();
    bus.attach(1, echo);
    listener.waitForArrival(1);
    echo->restart(20'000'000, std::make_shared<EchoDevice>(0x0042));
    bus.settle();
    EXPECT_EQ(listener.left().size(), 1u);
    clock.advance(20ms);
    ASSERT_EQ(listener.arrived().size(), 2u);
    EXPECT_EQ(productOf(*listener.arrived()[1]), 0x0042);
}

TEST_F(EnumerationTest, DeviceThatUnplugsItselfLeaves)
{
    auto echo = std::make_shared<EchoDevice>();
    bus.attach(1, echo);
    listener.waitForArrival(1);
    echo->unplug();
    bus.settle();
    EXPECT_EQ(listener.left().size(), 1u);
    EXPECT_EQ(bus.device(1), nullptr);
}

// A device that fails one standard request of enumeration in a given way.
class StubbornDevice : public EchoDevice
{
public:
    StubbornDevice(uint8_t request, SimUSB::ControlAnswer answer)
        : fRequest(request), fAnswer(std::move(answer))
    {}
    SimUSB::ControlAnswer control(const SetupPacket& setup, std::span<const uint8_t> data) override
    {
        if (setup.type() == 0 && setup.bRequest == fRequest) {
            return fAnswer;
        }
        return EchoDevice::control(setup, data);
    }

private:
    uint8_t fRequest;
    SimUSB::ControlAnswer fAnswer;
};

TEST_F(EnumerationTest, StallDuringEnumerationIsLoggedAndPublishesNothing)
{
    DarwinTesting::LogCapture log;
    bus.attach(
        1, std::make_shared<StubbornDevice>(SimUSB::Request::kSetAddress, SimUSB::ControlAnswer::stall()));
    bus.settle();
    EXPECT_TRUE(listener.arrived().empty());
    EXPECT_EQ(bus.device(1), nullptr);
    const auto texts = log.texts(DarwinTesting::LogSource::OSLog);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("SET_ADDRESS"), std::string::npos);
}

TEST_F(EnumerationTest, HangDuringEnumerationFailsAtTheTimeOut)
{
    DarwinTesting::LogCapture log;
    bus.attach(1, std::make_shared<StubbornDevice>(SimUSB::Request::kSetConfiguration,
                                                   SimUSB::ControlAnswer::hang()));
    clock.advance(4999ms);
    EXPECT_TRUE(log.texts(DarwinTesting::LogSource::OSLog).empty());
    clock.advance(1ms);
    bus.settle();
    EXPECT_TRUE(listener.arrived().empty());
    const auto texts = log.texts(DarwinTesting::LogSource::OSLog);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("SET_CONFIGURATION"), std::string::npos);
}

TEST_F(EnumerationTest, ListenerAddedLaterHearsOfPresentDevices)
{
    bus.attach(4, std::make_shared<EchoDevice>());
    listener.waitForArrival(1);
    RecordingListener late;
    bus.addListener(&late);
    EXPECT_EQ(late.arrived().size(), 1u);
    bus.removeListener(&late);
}

} // namespace
