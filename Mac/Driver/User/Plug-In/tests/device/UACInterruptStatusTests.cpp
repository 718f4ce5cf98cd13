#include "DescriptorFixtures.h"
#include "DeviceFixture.h"
#include "LogLines.h"
#include "UACInterruptStatus.h"

#include <gtest/gtest.h>

using namespace DeviceTesting;
using namespace KorvanInterface;
using PlugInTesting::LogLines;

namespace {

TEST(UACInterruptStatus, OnlyCurChangesOfClockEntitiesChangeTheClock)
{
    const auto descriptors = DescriptorsOf(Model::Wrenlet, Variant::TwoClockSources);
    const struct
    {
        const char* name;
        std::vector<uint8_t> payload;
        bool clockChange;
        const char* line; // null: no "UAC Interrupt Complete" line
    } cases[] = {
        {"clock source",
         {0x00, 0x01, 0x00, 0x01, 0x00, Entity::kClockSource},
         true,
         "UAC Interrupt Complete 00, 01, 00, 01, 00, 10"},
        {"second clock source",
         {0x00, 0x01, 0x00, 0x01, 0x00, Entity::kSecondClockSource},
         true,
         "UAC Interrupt Complete 00, 01, 00, 01, 00, 12"},
        {"clock selector",
         {0x00, 0x01, 0x00, 0x01, 0x00, Entity::kClockSelector},
         true,
         "UAC Interrupt Complete 00, 01, 00, 01, 00, 11"},
        {"terminal",
         {0x00, 0x01, 0x00, 0x02, 0x00, Entity::kRecordInputTerminal},
         false,
         "UAC Interrupt Complete 00, 01, 00, 02, 00, 02"},
        {"unknown entity",
         {0x00, 0x01, 0x00, 0x01, 0x00, 0x7F},
         false,
         "UAC Interrupt Complete 00, 01, 00, 01, 00, 7f"},
        {"bAttribute 2",
         {0x00, 0x02, 0x00, 0x01, 0x00, Entity::kClockSource},
         false,
         "UAC Interrupt Complete 00, 02, 00, 01, 00, 10"},
        {"endpoint originated", {0x02, 0x01, 0x00, 0x01, 0x00, Entity::kClockSource}, false, nullptr},
        {"7 bytes", {0x00, 0x01, 0x00, 0x01, 0x00, Entity::kClockSource, 0x00}, false, nullptr},
        {"empty", {}, false, nullptr},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        LogLines log;
        EXPECT_EQ(
            IsClockChangeMessage(testCase.payload.data(), uint32_t(testCase.payload.size()), &descriptors),
            testCase.clockChange);
        if (testCase.line != nullptr) {
            EXPECT_TRUE(log.contains(testCase.line)) << log.text();
        } else {
            EXPECT_FALSE(log.contains("UAC Interrupt Complete")) << log.text();
        }
    }
}

TEST(UACInterruptStatus, UnknownLengthsAreLoggedOnly)
{
    LogLines log;
    const uint8_t payload[7] = {0x00, 0x01, 0x00, 0x01, 0x00, Entity::kClockSource, 0x00};
    const auto descriptors = DescriptorsOf(Model::Wrenlet);
    EXPECT_FALSE(IsClockChangeMessage(payload, 7, &descriptors));
    EXPECT_TRUE(log.contains("Unknown UAC interrupt read 7 bytes")) << log.text();
}

TEST(UACInterruptStatus, WithoutSavedDescriptorsNothingChanges)
{
    const uint8_t payload[6] = {0x00, 0x01, 0x00, 0x01, 0x00, Entity::kClockSource};
    EXPECT_FALSE(IsClockChangeMessage(payload, 6, nullptr));
}

// The only test of the binary that sends vendor messages: the line is the process's first.
TEST(UACInterruptStatus, VendorMessagesAreLoggedOnce)
{
    LogLines log;
    const auto descriptors = DescriptorsOf(Model::Wrenlet);
    const uint8_t first[6] = {0x01, 0x01, 0x00, 0x01, 0x00, Entity::kClockSource};
    const uint8_t second[6] = {0x03, 0x01, 0x02, 0x03, 0x04, 0x05};
    EXPECT_FALSE(IsClockChangeMessage(first, 6, &descriptors));
    EXPECT_FALSE(IsClockChangeMessage(second, 6, &descriptors));
    EXPECT_EQ(log.count("GOT UNEXPECTED VENDOR MSG"), 1) << log.text();
    EXPECT_TRUE(log.contains("GOT UNEXPECTED VENDOR MSG 01, 01, 00, 01, 00, 10"));
}

} // namespace

namespace {

using DeviceInterruptStatus = DeviceFixture;

// The driver extension's records carry zeros before their type: the device reads only the type,
// the length and the payload.
TEST_F(DeviceInterruptStatus, DriverExtensionRecordsReachTheDevice)
{
    Activate();
    PlugInTesting::StreamFormat driverExtension;
    driverExtension.fDriverExtension = true;
    fService.setStreaming(driverExtension);
    const uint8_t message[] = {0x00, 0x01, 0x00, 0x01, 0x00, Entity::kClockSource};
    fService.NotifyUserClient(KorvanDeviceIO::kNotificationInterruptStatus, message, sizeof message);
    // The device's port is on the run loop of the thread that activated it: this one.
    EXPECT_TRUE(DarwinTesting::eventually([this] {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.001, true);
        return fLog.contains("UAC Interrupt Complete 00, 01, 00, 01, 00, 10");
    })) << fLog.text();
}

} // namespace
