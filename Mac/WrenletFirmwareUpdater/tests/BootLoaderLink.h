#pragma once

// A simulated Wrenlet on the process's bus and, for its boot-loader face, the CDC data interface
// opened through the USB library with its event source on the main run loop; the engine's
// transfers are stepped on the manual clock.

#include "PlugInInterface.h"
#include "SAMBA.h"
#include "StateMachine.h"

#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/ManualClock.h>
#include <DriverKit/platform/Drivers.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/usb/IOUSBLib.h>
#include <SimUSB/Bus.h>
#include <Wrenlet/FirmwareImage.h>
#include <Wrenlet/Signature.h>
#include <Wrenlet/WrenletHardware.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>

namespace UpdaterTests {

using namespace std::chrono_literals;

constexpr uint8_t kPort = 9;
constexpr uint16_t kVendor = 0x3A1C;

inline io_service_t copyNub(uint8_t port)
{
    CFMutableDictionaryRef matching = IOServiceMatching("IOUSBDevice");
    const uint32_t location = 0x01000000u | uint32_t(port) << 20;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &location);
    CFDictionarySetValue(matching, CFSTR("locationID"), number);
    CFRelease(number);
    io_iterator_t found = 0;
    if (IOServiceGetMatchingServices(kIOMainPortDefault, matching, &found) != KERN_SUCCESS) {
        return 0;
    }
    const io_service_t nub = IOIteratorNext(found);
    IOObjectRelease(found);
    return nub;
}

// The CDC data interface (class 10) of the boot loader on `port`, not opened; null when absent.
inline IOUSBInterfaceInterface300** CopyDataInterface(uint8_t port)
{
    const io_service_t nub = copyNub(port);
    vork::IOCFComPtr<IOUSBDeviceInterface300> device(
        QueryPlugIn<IOUSBDeviceInterface300>(nub, kIOUSBDeviceUserClientTypeID, kIOUSBDeviceInterfaceID300));
    IOObjectRelease(nub);
    if (!device) {
        return nullptr;
    }
    IOUSBFindInterfaceRequest request{10, 0, 0, kIOUSBFindInterfaceDontCare};
    io_iterator_t iterator = 0;
    (*device.get())->CreateInterfaceIterator(device.get(), &request, &iterator);
    const io_service_t data = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    if (data == 0) {
        return nullptr;
    }
    auto** interface = QueryPlugIn<IOUSBInterfaceInterface300>(data, kIOUSBInterfaceUserClientTypeID,
                                                               kIOUSBInterfaceInterfaceID300);
    IOObjectRelease(data);
    return interface;
}

// A unit with a signature, a 1301-byte image and FPGA version, powered on in its boot loader.
class BootLoaderLink : public testing::Test, public SAMBA::Client
{
protected:
    void SetUp() override
    {
        DriverKitPlatform::startUSB();
        fUnit->setSignature(Wrenlet::makeSignature('A', 0, {0x0A, 0x1B, 0x2C}));
        fUnit->installFirmware(Wrenlet::FirmwareImage::build("2.1", 1301));
        fUnit->setBootFlag(false);
        fUnit->powerOn();
        SimUSB::Bus::shared().settle();
        ASSERT_TRUE(OpenDataInterface());
        fEngine.emplace(*this, fInterface);
    }

    void TearDown() override
    {
        if (fInterface && *fInterface) {
            (*fInterface->get())->USBInterfaceClose(fInterface->get());
        }
        fEngine.reset();
        fInterface.reset();
        fUnit->powerOff();
        SimUSB::Bus::shared().reset();
        SimUSB::Bus::shared().settle();
    }

    bool OpenDataInterface()
    {
        fInterface = std::make_shared<vork::IOCFComPtr<IOUSBInterfaceInterface300>>(CopyDataInterface(kPort));
        IOUSBInterfaceInterface300** interface = fInterface->get();
        if (interface == nullptr) {
            return false;
        }
        CFRunLoopSourceRef source = nullptr;
        (*interface)->CreateInterfaceAsyncEventSource(interface, &source);
        CFRunLoopAddSource(CFRunLoopGetMain(), source, kCFRunLoopDefaultMode);
        return (*interface)->USBInterfaceOpen(interface) == kIOReturnSuccess;
    }

    // SAMBA::Client.
    void SAMBACallback(uint32_t count, bool error) override
    {
        ++fTransfers;
        if (error) {
            fError = true;
            fFinished = true;
        } else if (fCommand->Callback(count)) {
            fFinished = true;
        } else {
            fProgress.push_back(fCommand->GetProgress());
        }
    }

    // Runs `command` to its end, stepping time by `step`; false when it failed or did not end
    // within `limit` of simulated time.
    bool Run(StateMachine& command, std::chrono::nanoseconds limit = 1s,
             std::chrono::nanoseconds step = 125us)
    {
        fCommand = &command;
        fFinished = false;
        fError = false;
        fProgress.clear();
        command.Start();
        for (auto stepped = 0ns; !fFinished && stepped < limit; stepped += step) {
            CoreFoundationTesting::advanceAndRun(fClock, step);
        }
        EXPECT_TRUE(fFinished) << "the command did not end";
        EXPECT_FALSE(fError) << "a transfer failed";
        return fFinished && !fError && command.GetResultStatus();
    }

    DarwinTesting::ManualClock fClock;
    std::shared_ptr<Wrenlet::WrenletHardware> fUnit = Wrenlet::WrenletHardware::create(
        SimUSB::Bus::shared(), kPort, {.vendorID = kVendor, .rebootDelay = 5'000'000});
    SAMBA::Interface fInterface;
    std::optional<SAMBA> fEngine;
    StateMachine* fCommand = nullptr;
    bool fFinished = false;
    bool fError = false;
    int fTransfers = 0;
    std::vector<int> fProgress;
};

} // namespace UpdaterTests
