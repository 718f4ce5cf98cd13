#include <DarwinTesting/ManualClock.h>
#include <DriverKit/platform/Drivers.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/usb/IOUSBLib.h>
#include <IOKitTesting/Services.h>
#include <IOKitTesting/USBDevices.h>
#include <SimUSB/Bus.h>
#include <SimUSBTesting/EchoDevice.h>

#include <gtest/gtest.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

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
        SimUSB::Bus::shared().attach(kPort, fEcho);
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

    // A device request on a thread of its own.
    struct PendingRequest
    {
        uint8_t reply[8] = {};
        IOUSBDevRequest setup{0xC0, 2, 0, 0, sizeof(reply), reply, 0};
        std::atomic<bool> done{false};
        IOReturn result = kIOReturnError;
        std::thread thread;

        void start(IOUSBDeviceInterface** device)
        {
            thread = std::thread([this, device] {
                result = (*device)->DeviceRequest(device, &setup);
                done = true;
            });
        }
    };

    DarwinTesting::ManualClock fClock;
    IOKitTesting::USBDeviceScript fScript;
    std::shared_ptr<EchoDevice> fEcho = std::make_shared<EchoDevice>();
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

TEST_F(USBDeviceInterface, SetConfigurationNeedsTheDeviceHeldOpenByThisObject)
{
    Interface holder(fNub);
    Interface other(fNub);
    EXPECT_EQ((*other.get())->SetConfiguration(other.get(), 1), kIOReturnNotOpen);
    EXPECT_EQ(kIOReturnNotOpen, IOReturn(0xE00002CD));
    ASSERT_EQ(holder.open(), kIOReturnSuccess);
    EXPECT_EQ((*other.get())->SetConfiguration(other.get(), 1), kIOReturnNotOpen);
    EXPECT_EQ((*holder.get())->SetConfiguration(holder.get(), 1), kIOReturnSuccess);
}

TEST_F(USBDeviceInterface, DeviceRequestsFromThreeThreadsRunOneAtATime)
{
    // Each answer takes 1 ms of the clock, so requests that were not serialised would overlap.
    SimUSB::ControlAnswer late = SimUSB::ControlAnswer::withData({0x2A});
    late.delay = 1'000'000;
    fEcho->setVendorAnswer(late);
    Interface interface(fNub);
    PendingRequest requests[3];
    for (PendingRequest& request : requests) {
        request.start(interface.get());
    }
    const auto allDone = [&] {
        return std::all_of(std::begin(requests), std::end(requests),
                           [](const PendingRequest& request) { return request.done.load(); });
    };
    EXPECT_TRUE(DarwinTesting::eventually([&] {
        fClock.advance(100us);
        return allDone();
    }));
    std::set<std::thread::id> threads;
    for (PendingRequest& request : requests) {
        request.thread.join();
        EXPECT_EQ(request.result, kIOReturnSuccess);
        EXPECT_EQ(request.setup.wLenDone, 1u);
        threads.insert(request.thread.get_id());
    }
    const std::vector<std::thread::id> recorded = fScript.deviceRequestThreads(kPort);
    EXPECT_EQ(recorded.size(), 3u);
    EXPECT_EQ(std::set<std::thread::id>(recorded.begin(), recorded.end()).size(), 3u);
    EXPECT_EQ(fScript.mostDeviceRequestsAtOnce(kPort), 1);
}

TEST_F(USBDeviceInterface, HangingDeviceRequestTimesOutWhenTheClockPassesFiveSeconds)
{
    fEcho->setVendorAnswer(SimUSB::ControlAnswer::hang());
    Interface interface(fNub);
    const uint64_t start = DarwinClock::hostNow();
    PendingRequest request;
    request.start(interface.get());
    ASSERT_TRUE(DarwinTesting::eventually([&] { return fClock.nextDeadline() != DarwinClock::kNever; }));
    EXPECT_EQ(fClock.nextDeadline() - start, 5'000'000'000u);
    fClock.advance(4999ms);
    EXPECT_FALSE(request.done.load());
    fClock.advance(1ms);
    EXPECT_TRUE(DarwinTesting::eventually([&] { return request.done.load(); }));
    request.thread.join();
    EXPECT_EQ(request.result, kIOUSBTransactionTimeout);
    EXPECT_EQ(request.result, IOReturn(0xE0004051));
    EXPECT_EQ(request.setup.wLenDone, 0u);
}

TEST_F(USBDeviceInterface, ScriptedConfigurationDescriptorFailuresEndAfterTheirCount)
{
    fScript.failConfigurationDescriptorReads(kPort, 2);
    Interface interface(fNub);
    IOUSBConfigurationDescriptorPtr descriptor = nullptr;
    for (int failing = 0; failing < 2; ++failing) {
        EXPECT_NE((*interface.get())->GetConfigurationDescriptorPtr(interface.get(), 0, &descriptor),
                  kIOReturnSuccess);
        EXPECT_EQ(descriptor, nullptr);
    }
    ASSERT_EQ((*interface.get())->GetConfigurationDescriptorPtr(interface.get(), 0, &descriptor),
              kIOReturnSuccess);
    EXPECT_EQ(descriptor->bConfigurationValue, 1);
}

TEST(USBInterfaceIterator, AClassOnlyInAlternateOneIsNotFoundForAlternateZero)
{
    DarwinTesting::ManualClock clock;
    DriverKitPlatform::startUSB();
    auto echo = std::make_shared<EchoDevice>();
    echo->setAlternateOneClass(0x01);
    SimUSB::Bus::shared().attach(kPort, echo);
    SimUSB::Bus::shared().settle();
    const io_service_t nub = copyDeviceNub(kPort);
    ASSERT_NE(nub, 0u);
    {
        Interface interface(nub);
        const auto count = [&](UInt16 interfaceClass) {
            IOUSBFindInterfaceRequest request{interfaceClass, kIOUSBFindInterfaceDontCare,
                                              kIOUSBFindInterfaceDontCare, 0};
            io_iterator_t iterator = 0;
            EXPECT_EQ((*interface.get())->CreateInterfaceIterator(interface.get(), &request, &iterator),
                      kIOReturnSuccess);
            int found = 0;
            while (io_service_t service = IOIteratorNext(iterator)) {
                ++found;
                IOObjectRelease(service);
            }
            IOObjectRelease(iterator);
            return found;
        };
        EXPECT_EQ(count(0x01), 0);
        EXPECT_EQ(count(0xFF), 2);
    }
    IOObjectRelease(nub);
    SimUSB::Bus::shared().reset();
    SimUSB::Bus::shared().settle();
}
