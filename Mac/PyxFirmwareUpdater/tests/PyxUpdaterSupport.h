#pragma once

// A simulated Pyx on the shared bus, opened as the updater opens it, and the pieces the engine
// tests share: a recording delegate, image sources without files, and the request log in short.

#include <PyxTesting/PyxBusSupport.h>

#include <USBDeviceImpl.h>
#include <USBUpdater.h>
#include <UpdateDevice.h>
#include <UpdateSource.h>

#include <Pyx/PyxUnit.h>
#include <Pyx/RunImage.h>

#include <KorvanDeviceIdentities.h>
#include <RunLoop.h>

#include <CoreFoundation/CFRunLoop.h>
#include <DarwinTesting/Eventually.h>
#include <DriverKit/platform/Drivers.h>
#include <IOKit/IOKitLib.h>
#include <SimUSB/Bus.h>

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace PyxUpdaterTests {

inline std::vector<uint8_t> runImage(size_t size, uint32_t minor = 1, uint8_t fill = 0x5A)
{
    return Pyx::buildRunImage(
        {.major = 1, .minor = minor, .patch = 0, .build = "test", .size = size, .fill = fill});
}

// A source whose "file" read answers the given bytes.
inline std::shared_ptr<UpdateSource> sourceOf(std::vector<uint8_t> bytes)
{
    return std::make_shared<UpdateSource>(
        Pellix::FileSpecification(UString("/pyx/test.update", UString::kUTF8)), [bytes](const std::string&) {
            return UpdateSource::FileRead{bytes.size(), bytes};
        });
}

// Runs the calling thread's loop until `condition` holds, within the real-time limit.
template <typename Condition>
bool runUntil(Condition condition)
{
    return DarwinTesting::eventually([&] {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.0005, true);
        return condition();
    });
}

// Records the engine's events from whatever thread they come, and forwards its completions.
class RecordingDelegate : public USBUpdater::Delegate
{
public:
    void HandleUpdaterEvent(USBUpdater::Event event) override
    {
        std::lock_guard lock(fLock);
        fEvents.push_back(event);
        fThreads.push_back(std::this_thread::get_id());
    }
    void AsyncEventCompleted(bool ok, unsigned short transferred) override
    {
        // Lands between a request's end and its completion, as an unplug or a click can.
        if (fActionAtCompletion && fCompletions++ == *fActionAtCompletion)
            fAction();
        fEngine->AsyncRequestCallback(ok, transferred);
    }

    std::vector<USBUpdater::Event> events() const
    {
        std::lock_guard lock(fLock);
        return fEvents;
    }
    int finishedCount() const
    {
        const auto all = events();
        return int(std::count(all.begin(), all.end(), USBUpdater::Finished));
    }

    USBUpdater* fEngine = nullptr;
    std::optional<size_t> fActionAtCompletion;
    std::function<void()> fAction;
    size_t fCompletions = 0;

private:
    mutable std::mutex fLock;
    std::vector<USBUpdater::Event> fEvents;
    std::vector<std::thread::id> fThreads;
};

// The request log in short: U<bytes> upload, D<bytes> download, S status, R reboot to application;
// the test-status read is left out.
inline std::string shortLog(const std::vector<Pyx::RequestRecord>& log)
{
    std::ostringstream text;
    for (const auto& record : log) {
        switch (record.kind) {
        case Pyx::RequestKind::Upload:
            text << "U" << record.bytes << " ";
            break;
        case Pyx::RequestKind::Download:
            text << "D" << record.bytes << " ";
            break;
        case Pyx::RequestKind::GetStatus:
            text << "S ";
            break;
        case Pyx::RequestKind::RebootToApplication:
            text << "R ";
            break;
        case Pyx::RequestKind::RebootIntoRecovery:
            text << "B ";
            break;
        default:
            break;
        }
    }
    std::string result = text.str();
    if (!result.empty())
        result.pop_back();
    return result;
}

// A recovery-mode Pyx on `port`, opened on a USB thread of the test's own.
class OpenedPyx
{
public:
    explicit OpenedPyx(uint8_t port) : fPort(port)
    {
        DriverKitPlatform::startUSB();
        fUnit = Pyx::PyxUnit::create(SimUSB::Bus::shared(), port,
                                     {.vendorID = KorvanDeviceIdentities::kVendorID,
                                      .rebootDelay = 1'000'000,
                                      .reEnumerationDelay = 5'000'000});
    }
    ~OpenedPyx()
    {
        close();
        fUnit->powerOff();
        SimUSB::Bus::shared().reset();
        SimUSB::Bus::shared().settle();
    }

    // Powers the unit on and opens what enumerates as an update device.
    std::shared_ptr<UpdateDevice> open(uint16_t product = Pyx::kRecoveryProductID)
    {
        fUnit->powerOn();
        EXPECT_TRUE(PyxTests::appears(fPort, product));
        const io_service_t nub = PyxTests::UserDevice::copyNub(fPort);
        fUSBDevice = std::make_shared<USBDevice>();
        fUSBThread.dispatcher().postSync(
            [&] { fUSBDevice->setImpl(std::make_unique<USBDevice::Impl>(fUSBThread.dispatcher(), nub)); });
        IOObjectRelease(nub);
        return std::make_shared<UpdateDevice>(DeviceWrapper(fUSBDevice));
    }
    void close()
    {
        if (fUSBDevice)
            fUSBThread.dispatcher().postSync([&] { fUSBDevice->setImpl(nullptr); });
        fUSBDevice.reset();
    }

    Pyx::PyxUnit& unit() const { return *fUnit; }

private:
    uint8_t fPort;
    std::shared_ptr<Pyx::PyxUnit> fUnit;
    vork::RunLoop fUSBThread{[] {}};
    std::shared_ptr<USBDevice> fUSBDevice;
};

} // namespace PyxUpdaterTests
