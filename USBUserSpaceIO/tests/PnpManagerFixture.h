#pragma once

// A plug-and-play manager on its own USB thread, on the manual clock, with a listener that records
// what it is told, over simulated devices on the bus.

#include <PnPManagerMac.h>

#include <Pyx/PyxUnit.h>
#include <PyxTesting/PyxBusSupport.h>

#include <KorvanDeviceIdentities.h>
#include <RunLoop.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>
#include <DriverKit/platform/Drivers.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/usb/IOUSBLib.h>
#include <SimUSB/Bus.h>
#include <SimUSBTesting/EchoDevice.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace PnpTests {

using namespace std::chrono_literals;

inline std::vector<USBMatchingInfo> pyxMatching()
{
    return {{KorvanDeviceIdentities::kVendorID, KorvanDeviceIdentities::kPyxRecoveryProductID, {}},
            {KorvanDeviceIdentities::kVendorID, KorvanDeviceIdentities::kPyxProductID, {}}};
}

inline std::vector<USBMatchingInfo> echoMatching()
{
    return {{SimUSBTesting::EchoDevice::kVendor, SimUSBTesting::EchoDevice::kProduct, {}}};
}

inline bool contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

inline size_t count(const std::vector<std::string>& lines, const std::string& line)
{
    return size_t(std::count(lines.begin(), lines.end(), line));
}

// Records the manager's events as they arrive on the USB thread: the serial and the clock time of
// each announcement.
class Recorder : public PnpListener
{
public:
    struct Added
    {
        std::string serial;
        uint64_t at;
    };

    void pnpDeviceAdded(std::shared_ptr<USBDevice> device) override
    {
        const std::string serial = device->getStringDescriptor(3);
        std::lock_guard lock(fLock);
        fAdded.push_back({serial, DarwinClock::hostNow()});
    }
    void pnpDeviceRemoved(std::shared_ptr<USBDevice>) override
    {
        std::lock_guard lock(fLock);
        ++fRemoved;
    }
    std::vector<std::string> added() const
    {
        std::lock_guard lock(fLock);
        std::vector<std::string> serials;
        for (const Added& added : fAdded)
            serials.push_back(added.serial);
        return serials;
    }
    std::vector<uint64_t> addedAt() const
    {
        std::lock_guard lock(fLock);
        std::vector<uint64_t> times;
        for (const Added& added : fAdded)
            times.push_back(added.at);
        return times;
    }
    int removed() const
    {
        std::lock_guard lock(fLock);
        return fRemoved;
    }

private:
    mutable std::mutex fLock;
    std::vector<Added> fAdded;
    int fRemoved = 0;
};

class PnpManagerFixture : public testing::Test
{
protected:
    void SetUp() override { DriverKitPlatform::startUSB(); }
    void TearDown() override
    {
        stopManager();
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

    void plugEcho(uint8_t port, std::shared_ptr<SimUSBTesting::EchoDevice> echo)
    {
        SimUSB::Bus::shared().attach(port, std::move(echo));
        SimUSB::Bus::shared().settle();
        ASSERT_NE(SimUSB::Bus::shared().device(port), nullptr);
    }

    void startManager(std::vector<USBMatchingInfo> matching = pyxMatching())
    {
        fUSBThread = std::make_unique<vork::RunLoop>([this, matching] {
            fManager = std::make_unique<PnpManager>(matching);
            fManager->addListener(&fRecorder);
        });
    }

    void stopManager()
    {
        if (fUSBThread)
            onUSBThread([this] { fManager.reset(); });
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

    // The manager's first device once it has been announced.
    std::shared_ptr<USBDevice> announcedDevice()
    {
        EXPECT_TRUE(DarwinTesting::eventually([&] { return !fRecorder.added().empty(); }));
        std::shared_ptr<USBDevice> device;
        onUSBThread([&] {
            if (fManager && !fManager->getDevices().empty())
                device = fManager->getDevices().front();
        });
        return device;
    }

    DarwinTesting::ManualClock fClock;
    Recorder fRecorder;
    std::vector<std::shared_ptr<Pyx::PyxUnit>> fUnits;
    std::unique_ptr<vork::RunLoop> fUSBThread;
    std::unique_ptr<PnpManager> fManager;
};

} // namespace PnpTests
