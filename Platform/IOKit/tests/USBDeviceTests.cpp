#include <DarwinTesting/ManualClock.h>
#include <DriverKit/platform/Drivers.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/usb/IOUSBLib.h>
#include <IOKitTesting/Services.h>
#include <IOKitTesting/USBDevices.h>
#include <SimUSB/Bus.h>
#include <SimUSBTesting/EchoDevice.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

using namespace std::chrono_literals;
using SimUSBTesting::EchoDevice;

namespace {

constexpr uint8_t kPort = 4;
constexpr uint64_t kDelay = 1'000'000'000;

io_service_t copyDeviceNub(uint8_t port)
{
    CFMutableDictionaryRef matching = IOServiceMatching("IOUSBDevice");
    const uint32_t location = 0x01000000u | uint32_t(port) << 20;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &location);
    CFDictionarySetValue(matching, CFSTR("locationID"), number);
    CFRelease(number);
    io_iterator_t devices = 0;
    if (IOServiceGetMatchingServices(kIOMainPortDefault, matching, &devices) != KERN_SUCCESS) {
        return 0;
    }
    const io_service_t device = IOIteratorNext(devices);
    IOObjectRelease(devices);
    return device;
}

// One client's device interface, asked for with `iid`.
class Interface
{
public:
    explicit Interface(io_service_t service, CFUUIDRef iid = kIOUSBDeviceInterfaceID)
    {
        IOCFPlugInInterface** plugIn = nullptr;
        SInt32 score = -1;
        fCreated = IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                                     kIOCFPlugInInterfaceID, &plugIn, &score);
        if (fCreated == KERN_SUCCESS) {
            (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(iid),
                                      reinterpret_cast<LPVOID*>(&fInterface));
            IODestroyPlugInInterface(plugIn);
        }
    }
    ~Interface()
    {
        if (fInterface != nullptr) {
            (*fInterface)->Release(fInterface);
        }
    }
    Interface(const Interface&) = delete;
    Interface& operator=(const Interface&) = delete;

    kern_return_t created() const { return fCreated; }
    IOUSBDeviceInterface** get() const { return fInterface; }
    IOReturn open() const { return (*fInterface)->USBDeviceOpen(fInterface); }
    IOReturn close() const { return (*fInterface)->USBDeviceClose(fInterface); }
    IOReturn reEnumerate(UInt32 options) const
    {
        return (*fInterface)->USBDeviceReEnumerate(fInterface, options);
    }

private:
    kern_return_t fCreated = KERN_FAILURE;
    IOUSBDeviceInterface** fInterface = nullptr;
};

class USBDeviceInterface : public testing::Test
{
protected:
    void SetUp() override
    {
        DriverKitPlatform::startUSB();
        fScript.setReEnumerationDelay(kDelay);
        SimUSB::Bus::shared().attach(kPort, std::make_shared<EchoDevice>());
        SimUSB::Bus::shared().settle();
        fNub = copyDeviceNub(kPort);
        ASSERT_NE(fNub, 0u);
    }
    void TearDown() override
    {
        IOObjectRelease(fNub);
        SimUSB::Bus::shared().reset();
        SimUSB::Bus::shared().settle();
    }

    DarwinTesting::ManualClock fClock;
    IOKitTesting::USBDeviceScript fScript;
    io_service_t fNub = 0;
};

TEST_F(USBDeviceInterface, ReadsTheIdentityUnderEveryDeviceInterfaceID)
{
    for (CFUUIDRef iid : {kIOUSBDeviceInterfaceID, kIOUSBDeviceInterfaceID300}) {
        Interface interface(fNub, iid);
        ASSERT_NE(interface.get(), nullptr);
        UInt16 vendor = 0;
        UInt16 product = 0;
        EXPECT_EQ((*interface.get())->GetDeviceVendor(interface.get(), &vendor), kIOReturnSuccess);
        EXPECT_EQ((*interface.get())->GetDeviceProduct(interface.get(), &product), kIOReturnSuccess);
        EXPECT_EQ(vendor, EchoDevice::kVendor);
        EXPECT_EQ(product, EchoDevice::kProduct);
        // The other id is answered by the same object.
        IOUSBDeviceInterface** other = nullptr;
        const CFUUIDRef otherID =
            iid == kIOUSBDeviceInterfaceID ? kIOUSBDeviceInterfaceID300 : kIOUSBDeviceInterfaceID;
        ASSERT_EQ((*interface.get())
                      ->QueryInterface(interface.get(), CFUUIDGetUUIDBytes(otherID),
                                       reinterpret_cast<LPVOID*>(&other)),
                  S_OK);
        EXPECT_EQ(other, interface.get());
        (*other)->Release(other);
    }
}

TEST_F(USBDeviceInterface, OneHolderAtATimeAndOnlyTheHolderCloses)
{
    Interface first(fNub);
    Interface second(fNub);
    EXPECT_EQ(first.open(), kIOReturnSuccess);
    EXPECT_EQ(second.open(), kIOReturnExclusiveAccess);
    EXPECT_EQ(second.close(), kIOReturnNotOpen);
    EXPECT_EQ(second.open(), kIOReturnExclusiveAccess) << "the holder's session survives another's close";
    EXPECT_EQ(first.close(), kIOReturnSuccess);
    EXPECT_EQ(second.open(), kIOReturnSuccess);
}

TEST_F(USBDeviceInterface, AReleasedHolderFreesTheDevice)
{
    {
        Interface holder(fNub);
        ASSERT_EQ(holder.open(), kIOReturnSuccess);
    }
    Interface next(fNub);
    EXPECT_EQ(next.open(), kIOReturnSuccess);
}

TEST_F(USBDeviceInterface, EveryCallAnswersNoDeviceOnceTheDeviceHasGone)
{
    Interface interface(fNub);
    ASSERT_EQ(interface.open(), kIOReturnSuccess);
    SimUSB::Bus::shared().detach(kPort);
    const std::function<IOReturn()> calls[] = {
        [&] { return interface.open(); },
        [&] { return interface.close(); },
        [&] { return interface.reEnumerate(0); },
    };
    for (const auto& call : calls) {
        EXPECT_EQ(call(), kIOReturnNoDevice);
    }
    EXPECT_TRUE(fScript.reEnumerations().empty());
}

TEST_F(USBDeviceInterface, ReEnumerationIsRecordedAndTheDeviceComesBackAfterTheDelay)
{
    Interface holder(fNub);
    Interface other(fNub);
    ASSERT_EQ(holder.open(), kIOReturnSuccess);
    // Accepted from an interface that does not hold the device.
    EXPECT_EQ(other.reEnumerate(kUSBReEnumerateCaptureDeviceMask), kIOReturnSuccess);
    EXPECT_EQ(fScript.reEnumerations(), (std::vector<IOKitTesting::ReEnumeration>{
                                            {kPort, EchoDevice::kVendor, EchoDevice::kProduct, 0x20000000}}));
    EXPECT_EQ(copyDeviceNub(kPort), 0u) << "the nub leaves at once";
    EXPECT_EQ(holder.close(), kIOReturnNoDevice);

    fClock.advance(std::chrono::nanoseconds(kDelay - 1));
    SimUSB::Bus::shared().settle();
    EXPECT_EQ(copyDeviceNub(kPort), 0u);
    fClock.advance(1ns);
    SimUSB::Bus::shared().settle();
    const io_service_t back = copyDeviceNub(kPort);
    ASSERT_NE(back, 0u);
    Interface again(back);
    EXPECT_EQ(again.open(), kIOReturnSuccess);
    IOObjectRelease(back);
}

TEST_F(USBDeviceInterface, ScriptedFailuresAnswerTheirCodes)
{
    fScript.failOpen(kPort, kIOReturnNotResponding);
    Interface interface(fNub);
    EXPECT_EQ(interface.open(), kIOReturnNotResponding);
    fScript.refusePlugInCreation(kPort, kIOReturnNoResources);
    Interface refused(fNub);
    EXPECT_EQ(refused.created(), kIOReturnNoResources);
    EXPECT_EQ(refused.get(), nullptr);
}

TEST_F(USBDeviceInterface, OnlyDeviceNubsOfTheUSBTypeGetThePlugIn)
{
    auto entry = IOKitTesting::publishService({"IOService"});
    const io_service_t other = IOKitTesting::copyHandle(entry);
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    EXPECT_NE(IOCreatePlugInInterfaceForService(other, kIOUSBDeviceUserClientTypeID, kIOCFPlugInInterfaceID,
                                                &plugIn, &score),
              KERN_SUCCESS);
    EXPECT_EQ(plugIn, nullptr);
    EXPECT_EQ(IOCreatePlugInInterfaceForService(fNub, kIOCFPlugInInterfaceID, kIOCFPlugInInterfaceID, &plugIn,
                                                &score),
              kIOReturnUnsupported);
    IOObjectRelease(other);
    entry->terminate();
}

} // namespace
