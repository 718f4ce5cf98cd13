#include "ReenumeratorTestSupport.h"
#include "ResetUAC.h"

#include <DarwinTesting/ManualClock.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/usb/IOUSBLib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <vector>

using namespace ReenumeratorTesting;
using namespace std::chrono_literals;

namespace {

constexpr uint8_t kPort = 3;
constexpr uint32_t kCapture = 0x20000000;
constexpr uint64_t kDelay = 2'000'000'000;

enum class Open
{
    Free,
    HeldByAnotherClient,
    Fails,
};

struct DeviceCase
{
    const char* fName;
    uint16_t fVendor;
    uint16_t fProduct;
    std::optional<Depth> fDriverDepth;
    const char* fDriverName;
    Open fOpen;
    std::optional<uint32_t> fOptions; // absent: left alone
    std::vector<const char*> fLines;
};

const DeviceCase kDevices[] = {
    {"WrenletBound",
     kVendor,
     kWrenlet,
     Depth::Grandchild,
     kClassDriver,
     Open::Free,
     0,
     {"void ResetUAC()", " reenumerating", "USBDeviceReEnumerate returned 00000000"}},
    {"PyxHeldByAnotherClient",
     kVendor,
     kPyx,
     Depth::Grandchild,
     kClassDriver,
     Open::HeldByAnotherClient,
     kCapture,
     {" reenumerating", "USBDeviceReEnumerate returned 00000000"}},
    {"NoClassDriver",
     kVendor,
     kWrenlet,
     std::nullopt,
     kClassDriver,
     Open::Free,
     std::nullopt,
     {"void ResetUAC()"}},
    {"OpenFails",
     kVendor,
     kWrenlet,
     Depth::Grandchild,
     kClassDriver,
     Open::Fails,
     std::nullopt,
     {"(err e00002bc)"}},
    {"OtherProduct", kVendor, 13, Depth::Grandchild, kClassDriver, Open::Free, std::nullopt, {}},
    {"OtherVendor", 0x1209, kWrenlet, Depth::Grandchild, kClassDriver, Open::Free, std::nullopt, {}},
    {"DriverOnTheDevice", kVendor, kWrenlet, Depth::Child, kClassDriver, Open::Free, std::nullopt, {}},
    {"DriverBelowAGrandchild",
     kVendor,
     kWrenlet,
     Depth::GreatGrandchild,
     kClassDriver,
     Open::Free,
     std::nullopt,
     {}},
    {"DriverOfAnotherName",
     kVendor,
     kWrenlet,
     Depth::Grandchild,
     "AppleUSBAudioDevice2",
     Open::Free,
     std::nullopt,
     {}},
};

// A device interface of the USB device library, as another client of the device would hold it.
class DeviceClient
{
public:
    explicit DeviceClient(uint16_t product)
    {
        CFMutableDictionaryRef matching = IOServiceMatching("IOUSBHostDevice");
        const int32_t value = product;
        CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
        CFDictionarySetValue(matching, CFSTR("idProduct"), number);
        CFRelease(number);
        io_iterator_t devices = 0;
        IOServiceGetMatchingServices(kIOMainPortDefault, matching, &devices);
        const io_service_t device = IOIteratorNext(devices);
        IOObjectRelease(devices);
        IOCFPlugInInterface** plugIn = nullptr;
        SInt32 score = 0;
        if (IOCreatePlugInInterfaceForService(device, kIOUSBDeviceUserClientTypeID, kIOCFPlugInInterfaceID,
                                              &plugIn, &score) == KERN_SUCCESS) {
            (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID),
                                      reinterpret_cast<LPVOID*>(&fInterface));
            IODestroyPlugInInterface(plugIn);
        }
        IOObjectRelease(device);
    }
    ~DeviceClient()
    {
        if (fInterface != nullptr) {
            (*fInterface)->Release(fInterface);
        }
    }
    DeviceClient(const DeviceClient&) = delete;
    DeviceClient& operator=(const DeviceClient&) = delete;

    IOReturn open()
    {
        return fInterface != nullptr ? (*fInterface)->USBDeviceOpen(fInterface) : kIOReturnNoDevice;
    }

private:
    IOUSBDeviceInterface** fInterface = nullptr;
};

class Devices : public testing::Test
{
protected:
    void SetUp() override { fBus.script().setReEnumerationDelay(kDelay); }

    DarwinTesting::ManualClock fClock;
    PlugInTesting::LogLines fLog;
    TestBus fBus;
};

class DeviceTable : public Devices, public testing::WithParamInterface<DeviceCase>
{};

TEST_P(DeviceTable, OnlyTheMakersInterfacesUnderTheClassDriverAreReEnumerated)
{
    const DeviceCase& row = GetParam();
    fBus.attach(kPort, row.fVendor, row.fProduct);
    if (row.fDriverDepth) {
        fBus.bindClassDriver(kPort, *row.fDriverDepth, row.fDriverName);
    }
    DeviceClient other(row.fProduct);
    if (row.fOpen == Open::HeldByAnotherClient) {
        ASSERT_EQ(other.open(), kIOReturnSuccess);
    }
    if (row.fOpen == Open::Fails) {
        fBus.script().failOpen(kPort, 0xE00002BC);
    }

    ResetUAC();

    const std::vector<IOKitTesting::ReEnumeration> done = fBus.script().reEnumerations();
    if (row.fOptions) {
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0], (IOKitTesting::ReEnumeration{kPort, row.fVendor, row.fProduct, *row.fOptions}));
        EXPECT_FALSE(fBus.present(kPort)) << "a re-enumerated device leaves the bus at once";
    } else {
        EXPECT_TRUE(done.empty());
        EXPECT_TRUE(fBus.present(kPort));
        EXPECT_EQ(fLog.count(" reenumerating"), 0);
    }
    for (const char* line : row.fLines) {
        EXPECT_EQ(fLog.count(line), 1) << line << "\n" << fLog.text();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceTable, testing::ValuesIn(kDevices),
                         [](const testing::TestParamInfo<DeviceCase>& info) { return info.param.fName; });

TEST_F(Devices, ARefusedPlugInSkipsOnlyThatDevice)
{
    fBus.attach(1, kVendor, kWrenlet);
    fBus.attach(2, kVendor, kPyx);
    fBus.bindClassDriver(1);
    fBus.bindClassDriver(2);
    fBus.script().refusePlugInCreation(1, kIOReturnNoResources);

    ResetUAC();

    EXPECT_EQ(fLog.count("ResetUACDrivers failed to create plugin interface e00002be 0"), 1) << fLog.text();
    EXPECT_EQ(fBus.script().reEnumerations(),
              (std::vector<IOKitTesting::ReEnumeration>{{2, kVendor, kPyx, 0}}));
}

TEST_F(Devices, BothProductsInOrderThenBackWithoutTheClassDriverAndLeftAlone)
{
    fBus.attach(1, kVendor, kPyx);
    fBus.attach(2, kVendor, kWrenlet);
    fBus.bindClassDriver(1);
    fBus.bindClassDriver(2);

    ResetUAC();

    EXPECT_EQ(fBus.script().reEnumerations(),
              (std::vector<IOKitTesting::ReEnumeration>{{2, kVendor, kWrenlet, 0}, {1, kVendor, kPyx, 0}}));
    EXPECT_FALSE(fBus.present(1));
    EXPECT_FALSE(fBus.present(2));

    fClock.advance(std::chrono::nanoseconds(kDelay - 1));
    fBus.settle();
    EXPECT_FALSE(fBus.present(1));
    fClock.advance(1ns);
    fBus.settle();
    ASSERT_TRUE(fBus.present(1));
    ASSERT_TRUE(fBus.present(2));
    EXPECT_FALSE(fBus.bound(1));
    EXPECT_FALSE(fBus.bound(2));

    ResetUAC();
    EXPECT_EQ(fBus.script().reEnumerations().size(), 2u);
}

} // namespace
