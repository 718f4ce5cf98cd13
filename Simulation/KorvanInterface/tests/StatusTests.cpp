#include "KorvanTestSupport.h"

#include <gtest/gtest.h>

#include <array>

using namespace KorvanInterface;
using KorvanTests::littleEndian;
using KorvanTests::request;

namespace {

std::vector<uint8_t> readStatus(KorvanDevice& device)
{
    std::array<uint8_t, 64> space{};
    const SimUSB::InPacket packet = device.in(Endpoint::kStatus, space);
    if (!packet.ready) {
        return {};
    }
    return {space.begin(), space.begin() + ptrdiff_t(packet.length)};
}

TEST(StatusMessages, DeviceRateChangeChangesTheRateThenReportsTheClockSource)
{
    KorvanDevice device({Model::Wrenlet, KorvanTests::kVendor});
    device.changeRateFromDevice(96000);
    EXPECT_EQ(device.sampleRate(), 96000u);
    EXPECT_EQ(readStatus(device), (std::vector<uint8_t>{0x00, 0x01, 0x00, 0x01, 0x00, 0x10}));
    EXPECT_TRUE(readStatus(device).empty());
}

TEST(StatusMessages, Variants)
{
    KorvanDevice device(variantOptions(Model::Wrenlet, KorvanTests::kVendor, Variant::StatusPacket8));
    device.sendVendorStatus();
    device.sendEndpointStatus();
    device.sendSevenByteStatus();
    device.sendStatus({9, 9});
    EXPECT_EQ(readStatus(device)[0], 0x01);
    EXPECT_EQ(readStatus(device)[0], 0x02);
    EXPECT_EQ(readStatus(device).size(), 7u);
    EXPECT_EQ(readStatus(device), (std::vector<uint8_t>{9, 9}));
    EXPECT_EQ(device.statusLog().size(), 4u);
}

TEST(StatusMessages, WaitWhileNoReadIsQueuedUpToALimit)
{
    KorvanDevice device({Model::Wrenlet, KorvanTests::kVendor});
    for (int i = 0; i < 40; ++i) {
        device.sendStatus({uint8_t(i)});
    }
    EXPECT_EQ(device.statusOverflows(), 8u);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(readStatus(device), std::vector<uint8_t>{uint8_t(i)});
    }
    EXPECT_TRUE(readStatus(device).empty());
}

TEST(StatusMessages, NoneFollowsAHostSet)
{
    KorvanDevice device({Model::Wrenlet, KorvanTests::kVendor});
    request(device, {0x00, 9, 1, 0, 0});
    request(device, {0x21, 1, 0x0100, 0x1000, 4}, littleEndian(88200));
    EXPECT_EQ(device.sampleRate(), 88200u);
    EXPECT_TRUE(readStatus(device).empty());
}

TEST(StatusMessages, NothingWithoutAStatusEndpoint)
{
    KorvanDevice device(variantOptions(Model::Wrenlet, KorvanTests::kVendor, Variant::NoStatusEndpoint));
    device.sendVendorStatus();
    EXPECT_TRUE(readStatus(device).empty());
}

} // namespace
