// The unit on the bus: its boot rule, its run-mode requests and its boot loader's bulk pipes.

#include "WrenletBusSupport.h"

#include <Wrenlet/FirmwareImage.h>
#include <Wrenlet/Signature.h>
#include <Wrenlet/WrenletHardware.h>

#include <gtest/gtest.h>

#include <cstdio>

using namespace Wrenlet;
using WrenletTests::exchange;
using WrenletTests::Host;

namespace {

constexpr uint8_t kPort = 3;
constexpr uint64_t kRebootDelay = 5'000'000;

uint16_t vendorOf(const SimUSB::HostDevice& device)
{
    const auto& descriptor = device.deviceDescriptor();
    return uint16_t(descriptor[8] | descriptor[9] << 8);
}

std::vector<uint8_t> request(SimUSB::HostDevice& device, SimUSB::SetupPacket setup,
                             SimUSB::Status* status = nullptr)
{
    std::vector<uint8_t> data(setup.wLength);
    const SimUSB::ControlResult result = device.control(setup, data.data(), 1000);
    if (status)
        *status = result.status;
    data.resize(result.length);
    return data;
}

std::string word(uint32_t address, uint32_t value)
{
    char text[32];
    snprintf(text, sizeof text, "W%08X,%08X#", address, value);
    return text;
}

class WrenletHardwareTest : public testing::Test
{
protected:
    void SetUp() override
    {
        unit->setSignature(makeSignature('A', 0, {0x0A, 0x1B, 0x2C}));
        unit->installFirmware(FirmwareImage::build("2.1", 1301));
        unit->setFpgaVersion("7.4");
    }
    void TearDown() override { bus.reset(); }

    // Runs a flash command to its end through the boot loader.
    void flashCommand(SimUSB::HostDevice& device, uint8_t command, uint16_t argument)
    {
        exchange(device, word(FlashController::kCommandRegister, 0x5A000000 | argument << 8 | command), 0);
        for (int poll = 0; poll < 100; ++poll) {
            char read[16];
            snprintf(read, sizeof read, "w%08X,#", FlashController::kStatusRegister);
            if (exchange(device, read, 4)[0] & 1)
                return;
        }
        ADD_FAILURE() << "command " << int(command) << " never ready";
    }

    SimUSB::Bus bus;
    Host host{bus};
    std::shared_ptr<WrenletHardware> unit =
        WrenletHardware::create(bus, kPort, {.vendorID = 0x3A1C, .rebootDelay = kRebootDelay});
};

} // namespace

struct BootCase
{
    bool bootFlag;
    bool validImage;
    WrenletHardware::Face face;
};

class BootRuleTest : public WrenletHardwareTest, public testing::WithParamInterface<BootCase>
{};

TEST_P(BootRuleTest, FaceFollowsBootFlagAndImage)
{
    const BootCase& c = GetParam();
    auto image = FirmwareImage::build("2.1", 1301);
    if (!c.validImage)
        image[600] ^= 1;
    unit->installFirmware(image);
    unit->setBootFlag(c.bootFlag);
    unit->powerOn();
    EXPECT_EQ(unit->face(), c.face);
    EXPECT_EQ(unit->isBricked(), c.face == WrenletHardware::Face::Bricked);
    if (c.face == WrenletHardware::Face::Bricked)
        return;
    const auto device = host.arrival(1);
    EXPECT_EQ(vendorOf(*device), c.face == WrenletHardware::Face::BootLoader ? kBootLoaderVendorID : 0x3A1C);
}

INSTANTIATE_TEST_SUITE_P(Rule, BootRuleTest,
                         testing::Values(BootCase{true, true, WrenletHardware::Face::RunMode},
                                         BootCase{true, false, WrenletHardware::Face::Bricked},
                                         BootCase{false, true, WrenletHardware::Face::BootLoader},
                                         BootCase{false, false, WrenletHardware::Face::BootLoader}));

TEST_F(WrenletHardwareTest, RunModeAnswersVersionsAndSerial)
{
    unit->powerOn();
    const auto device = host.arrival(1);
    const auto firmware = request(*device, {0xC0, 5, 0, kUpdaterIndex, 16});
    ASSERT_EQ(firmware.size(), 16u);
    EXPECT_STREQ(reinterpret_cast<const char*>(firmware.data()), "2.1");
    const auto fpga = request(*device, {0xC0, 6, 0, kUpdaterIndex, 16});
    EXPECT_STREQ(reinterpret_cast<const char*>(fpga.data()), "7.4");
    // Vendor request 2 to wIndex 0 stays the audio model's.
    EXPECT_EQ(request(*device, {0xC0, 2, 0, 0, 1}), std::vector<uint8_t>{1});

    const auto serial = request(*device, {0x80, 6, 0x0303, 0x0409, 255});
    std::string text;
    for (size_t i = 2; i + 1 < serial.size(); i += 2)
        text.push_back(char(serial[i]));
    EXPECT_EQ(text, "WRNA0A1B2C");
}

TEST_F(WrenletHardwareTest, RunModeKnobs)
{
    unit->setRunModeOptions({.serial = std::nullopt,
                             .lowerCaseSerial = true,
                             .rawSerialDescriptor = std::vector<uint8_t>{1, 3},
                             .serialDescriptorLength = std::nullopt,
                             .versionsWithoutNul = true});
    unit->powerOn();
    const auto device = host.arrival(1);
    const auto firmware = request(*device, {0xC0, 5, 0, kUpdaterIndex, 16});
    ASSERT_EQ(firmware.size(), 16u);
    EXPECT_EQ(std::count(firmware.begin(), firmware.end(), 0), 0);
    EXPECT_EQ(request(*device, {0x80, 6, 0x0303, 0x0409, 255}), (std::vector<uint8_t>{1, 3}));
    unit->runModeDevice()->misbehave({0xC0, 6, std::nullopt, std::nullopt},
                                     {KorvanInterface::KorvanDevice::Misbehaviour::Kind::Short, 0, 3});
    EXPECT_EQ(request(*device, {0xC0, 6, 0, kUpdaterIndex, 16}).size(), 3u);
}

TEST_F(WrenletHardwareTest, RebootIntoBootLoaderStaysAcrossPowerCyclesUntilTheFlagIsSet)
{
    unit->powerOn();
    request(*host.arrival(1), {0x40, 3, 0, kUpdaterIndex, 0});
    host.departure(1);
    EXPECT_EQ(vendorOf(*host.arrival(2)), kBootLoaderVendorID);

    unit->powerOff();
    host.departure(2);
    unit->powerOn();
    const auto loader = host.arrival(3);
    EXPECT_EQ(vendorOf(*loader), kBootLoaderVendorID);
    EXPECT_EQ(exchange(*loader, "N#", 2), "\n\r");

    flashCommand(*loader, FlashController::SGPB, 1);
    exchange(*loader, word(SambaBootLoader::kResetControlRegister, 0xA5000001), 0);
    host.departure(3);
    const auto running = host.arrival(4);
    EXPECT_EQ(vendorOf(*running), 0x3A1C);
    EXPECT_EQ(unit->face(), WrenletHardware::Face::RunMode);
}

TEST_F(WrenletHardwareTest, PowerLossDuringWritePageOverErasedFlashLeavesBootLoaderNotBrick)
{
    unit->powerOn();
    request(*host.arrival(1), {0x40, 3, 0, kUpdaterIndex, 0});
    const auto loader = host.arrival(2);
    flashCommand(*loader, FlashController::EA, 0);
    for (uint32_t offset = 0; offset < kPageSize; offset += 4)
        exchange(*loader, word(kFlashBase + offset, 0x12345678), 0);
    unit->powerOffAtCommand(FlashController::WP, false);
    exchange(*loader, word(FlashController::kCommandRegister, 0x5A000001), 0);
    host.departure(2);
    EXPECT_EQ(unit->face(), WrenletHardware::Face::Off);
    EXPECT_FALSE(unit->firmwareVersion());
    unit->powerOn();
    EXPECT_EQ(vendorOf(*host.arrival(3)), kBootLoaderVendorID);
    EXPECT_FALSE(unit->isBricked());
}

TEST_F(WrenletHardwareTest, PowerLossOnAVendorRequest)
{
    unit->powerOffOnRequest(3);
    unit->powerOn();
    SimUSB::Status status = 0;
    request(*host.arrival(1), {0x40, 3, 0, kUpdaterIndex, 0}, &status);
    EXPECT_NE(status, SimUSB::kSuccess);
    host.departure(1);
    EXPECT_EQ(unit->face(), WrenletHardware::Face::Off);
    unit->powerOn();
    EXPECT_EQ(unit->face(), WrenletHardware::Face::RunMode);
}

TEST_F(WrenletHardwareTest, BootLoaderWithoutDataInterface)
{
    auto bare = WrenletHardware::create(bus, kPort + 1,
                                        {.rebootDelay = kRebootDelay, .bootLoaderDataInterface = false});
    bare->powerOn();
    const auto device = host.arrival(1);
    EXPECT_EQ(device->configurationDescriptor()[4], 1);
    EXPECT_FALSE(device->endpoint(kBootLoaderBulkOut));
}
