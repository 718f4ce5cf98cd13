// Discovery and opening on the USB thread, on the manual clock, against simulated Pyx units.

#include <PnPManagerMac.h>

#include <Pyx/PyxUnit.h>
#include <Pyx/RunImage.h>

#include <KorvanDeviceIdentities.h>
#include <RunLoop.h>

#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/LogCapture.h>
#include <DarwinTesting/ManualClock.h>
#include <DriverKit/platform/Drivers.h>
#include <IOKitTesting/USBDevices.h>
#include <SimUSB/Bus.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>

using namespace std::chrono_literals;

namespace {

constexpr uint8_t kFirstPort = 10;
constexpr uint8_t kSecondPort = 11;

std::vector<USBMatchingInfo> pyxMatching()
{
    return {{KorvanDeviceIdentities::kVendorID, KorvanDeviceIdentities::kPyxRecoveryProductID, {}},
            {KorvanDeviceIdentities::kVendorID, KorvanDeviceIdentities::kPyxProductID, {}}};
}

bool contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Records the manager's events as they arrive on the USB thread.
class Recorder : public PnpListener
{
public:
    void pnpDeviceAdded(std::shared_ptr<USBDevice> device) override
    {
        std::lock_guard lock(fLock);
        fAdded.push_back(device->getStringDescriptor(3));
    }
    void pnpDeviceRemoved(std::shared_ptr<USBDevice>) override
    {
        std::lock_guard lock(fLock);
        ++fRemoved;
    }
    std::vector<std::string> added() const
    {
        std::lock_guard lock(fLock);
        return fAdded;
    }
    int removed() const
    {
        std::lock_guard lock(fLock);
        return fRemoved;
    }

private:
    mutable std::mutex fLock;
    std::vector<std::string> fAdded;
    int fRemoved = 0;
};

class PnpManagerTest : public testing::Test
{
protected:
    void SetUp() override { DriverKitPlatform::startUSB(); }
    void TearDown() override
    {
        onUSBThread([this] { fManager.reset(); });
        fUSBThread.reset();
        for (auto& unit : fUnits)
            unit->powerOff();
        SimUSB::Bus::shared().reset();
        SimUSB::Bus::shared().settle();
    }

    std::shared_ptr<Pyx::PyxUnit> plug(uint8_t port, const std::string& serial)
    {
        auto unit =
            Pyx::PyxUnit::create(SimUSB::Bus::shared(), port,
                                 {.vendorID = KorvanDeviceIdentities::kVendorID, .recoverySerial = serial});
        unit->powerOn();
        fUnits.push_back(unit);
        // Enumeration runs on the manual clock too.
        EXPECT_TRUE(DarwinTesting::eventually([&] {
            if (SimUSB::Bus::shared().device(port))
                return true;
            fClock.advance(1ms);
            return false;
        }));
        return unit;
    }

    void startManager()
    {
        fUSBThread = std::make_unique<vork::RunLoop>([this] {
            fManager = std::make_unique<PnpManager>(pyxMatching());
            fManager->addListener(&fRecorder);
        });
    }

    // Moves the manual clock and lets the USB thread serve what fell due.
    void advance(std::chrono::nanoseconds by) { fClock.advance(by); }

    // Runs `action` on the USB thread, whose dispatcher is served on the manual clock.
    void onUSBThread(std::function<void()> action)
    {
        auto done = std::make_shared<std::atomic<bool>>(false);
        fUSBThread->dispatcher().post([action, done] {
            action();
            done->store(true);
        });
        EXPECT_TRUE(DarwinTesting::eventually([&] {
            if (done->load())
                return true;
            fClock.advance(100us);
            return false;
        }));
    }

    DarwinTesting::ManualClock fClock;
    Recorder fRecorder;
    std::vector<std::shared_ptr<Pyx::PyxUnit>> fUnits;
    std::unique_ptr<vork::RunLoop> fUSBThread;
    std::unique_ptr<PnpManager> fManager;
};

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
