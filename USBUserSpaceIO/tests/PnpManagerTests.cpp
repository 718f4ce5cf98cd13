// Discovery and opening on the USB thread, on the manual clock, against simulated Pyx units.

#include "PnpManagerFixture.h"

#include <DarwinTesting/LogCapture.h>
#include <IOKitTesting/USBDevices.h>

using namespace PnpTests;

namespace {

constexpr uint8_t kFirstPort = 10;
constexpr uint8_t kSecondPort = 11;

using PnpManagerTest = PnpManagerFixture;

} // namespace

TEST_F(PnpManagerTest, DevicesPresentAtStartAreAnnouncedTogetherAfterOneSecond)
{
    plug(kFirstPort, "PYX0000001");
    plug(kSecondPort, "PYX0000002");
    startManager();
    advance(999ms);
    EXPECT_TRUE(fRecorder.added().empty());
    advance(1ms);
    ASSERT_TRUE(DarwinTesting::eventually([&] { return fRecorder.added().size() == 2; }));
    EXPECT_EQ(fRecorder.added(), (std::vector<std::string>{"PYX0000001", "PYX0000002"}));
}

TEST_F(PnpManagerTest, LaterDeviceIsAnnouncedOneSecondAfterItAppearsAndItsRemovalReported)
{
    startManager();
    advance(5000ms);
    auto unit = plug(kFirstPort, "PYX0000003");
    advance(999ms);
    EXPECT_TRUE(fRecorder.added().empty());
    // The publish reaches the USB thread a moment after the bus has the device.
    ASSERT_TRUE(DarwinTesting::eventually([&] {
        if (fRecorder.added().size() == 1)
            return true;
        advance(1ms);
        return false;
    }));
    unit->powerOff();
    ASSERT_TRUE(DarwinTesting::eventually([&] { return fRecorder.removed() == 1; }));
}

TEST_F(PnpManagerTest, RefusedOpenIsLoggedAndNeverAnnounced)
{
    IOKitTesting::USBDeviceScript script;
    script.failOpen(kFirstPort, kIOReturnError);
    DarwinTesting::LogCapture log;
    plug(kFirstPort, "PYX0000004");
    startManager();
    advance(1000ms);
    ASSERT_TRUE(DarwinTesting::eventually([&] {
        return contains(log.texts(DarwinTesting::LogSource::OSLog),
                        "Could not open device (error: e00002bc)\n");
    }));
    advance(3000ms);
    EXPECT_TRUE(fRecorder.added().empty());
}

TEST_F(PnpManagerTest, StringDescriptorsOfAnOpenedDevice)
{
    plug(kFirstPort, "PYX0000005");
    startManager();
    advance(1000ms);
    ASSERT_TRUE(DarwinTesting::eventually([&] { return fManager && fRecorder.added().size() == 1; }));
    std::shared_ptr<USBDevice> device;
    onUSBThread([&] { device = fManager->getDevices().at(0); });
    EXPECT_EQ(device->getStringDescriptor(2), "Pyx Recovery");
    EXPECT_EQ(device->getStringDescriptor(9), "");
    const auto descriptor = device->getDeviceDescriptor();
    ASSERT_EQ(descriptor.size(), 18u);
    EXPECT_EQ(descriptor[10] | descriptor[11] << 8, KorvanDeviceIdentities::kPyxRecoveryProductID);
    USBControlTransfer failing{0xA1, 0x77, 0, 0, 0, nullptr, 1234};
    EXPECT_FALSE(device->controlTransfer(failing));
    EXPECT_EQ(failing.transferred, 1234u);
}

TEST_F(PnpManagerTest, TwoDevicesThreeHundredMillisecondsApartAreAnnouncedInOneDrain)
{
    startManager();
    advance(5000ms);
    plug(kFirstPort, "PYX0000006");
    const uint64_t firstPlugged = DarwinClock::hostNow();
    // The USB thread has taken the publish once its one-second wait is armed.
    const auto publishTaken = [&] { return fClock.nextDeadline() == DarwinClock::hostNow() + 1'000'000'000; };
    ASSERT_TRUE(DarwinTesting::eventually(publishTaken));
    advance(300ms);
    plug(kSecondPort, "PYX0000007");
    ASSERT_TRUE(DarwinTesting::eventually([&] {
        if (fRecorder.added().size() == 2)
            return true;
        advance(1ms);
        return false;
    }));
    const auto times = fRecorder.addedAt();
    EXPECT_EQ(times[0], times[1]);
    EXPECT_GE(times[0] - firstPlugged, uint64_t(1'000'000'000));
}

TEST_F(PnpManagerTest, NothingIsToldOnceTheManagerIsGone)
{
    plug(kFirstPort, "PYX0000008");
    startManager();
    advance(500ms);
    stopManager();
    advance(2000ms);
    EXPECT_TRUE(fRecorder.added().empty());

    startManager();
    advance(1000ms);
    ASSERT_TRUE(DarwinTesting::eventually([&] { return fRecorder.added().size() == 1; }));
    stopManager();
    fUnits.front()->powerOff();
    SimUSB::Bus::shared().settle();
    advance(2000ms);
    EXPECT_EQ(fRecorder.removed(), 0);
}
