// The USB device and interface plug-ins over the simulated bus: configuration, device requests,
// the interface iterator, pipes, asynchronous transfers and their time-outs.

#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>
#include <DriverKit/platform/Drivers.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/usb/IOUSBLib.h>
#include <IOKitTesting/USBDevices.h>
#include <SimUSB/Bus.h>
#include <SimUSBTesting/EchoDevice.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using SimUSBTesting::EchoDevice;

namespace {

constexpr uint8_t kPort = 6;

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

template <typename Interface>
Interface** queryPlugIn(io_service_t service, CFUUIDRef type, CFUUIDRef iid)
{
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    if (IOCreatePlugInInterfaceForService(service, type, kIOCFPlugInInterfaceID, &plugIn, &score) !=
        KERN_SUCCESS) {
        return nullptr;
    }
    Interface** result = nullptr;
    (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(iid), reinterpret_cast<LPVOID*>(&result));
    IODestroyPlugInInterface(plugIn);
    return result;
}

struct Completion
{
    int calls = 0;
    IOReturn result = 0;
    uint32_t count = 0;

    static void record(void* refcon, IOReturn result, void* arg0)
    {
        auto* completion = static_cast<Completion*>(refcon);
        ++completion->calls;
        completion->result = result;
        completion->count = uint32_t(uintptr_t(arg0));
    }
};

class USBPlugIn : public testing::Test
{
protected:
    void SetUp() override
    {
        DriverKitPlatform::startUSB();
        SimUSB::Bus::shared().attach(kPort, fEcho);
        SimUSB::Bus::shared().settle();
        fNub = copyDeviceNub(kPort);
        ASSERT_NE(fNub, 0u);
        fDevice = queryPlugIn<IOUSBDeviceInterface300>(fNub, kIOUSBDeviceUserClientTypeID,
                                                       kIOUSBDeviceInterfaceID300);
        ASSERT_NE(fDevice, nullptr);
    }
    void TearDown() override
    {
        for (IOUSBInterfaceInterface300** interface : fInterfaces) {
            (*interface)->Release(interface);
        }
        if (fDevice != nullptr) {
            (*fDevice)->Release(fDevice);
        }
        IOObjectRelease(fNub);
        SimUSB::Bus::shared().reset();
        SimUSB::Bus::shared().settle();
    }

    std::vector<io_service_t> interfaces(UInt16 interfaceClass)
    {
        IOUSBFindInterfaceRequest request{interfaceClass, kIOUSBFindInterfaceDontCare,
                                          kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare};
        io_iterator_t iterator = 0;
        EXPECT_EQ((*fDevice)->CreateInterfaceIterator(fDevice, &request, &iterator), kIOReturnSuccess);
        std::vector<io_service_t> found;
        while (io_service_t service = IOIteratorNext(iterator)) {
            found.push_back(service);
        }
        IOObjectRelease(iterator);
        return found;
    }

    // Interface 0 of the echo device, its event source on this thread's loop.
    IOUSBInterfaceInterface300** echoInterface(bool open = true)
    {
        const auto found = interfaces(0xFF);
        if (found.empty()) {
            ADD_FAILURE() << "no interface";
            return nullptr;
        }
        auto** interface = queryPlugIn<IOUSBInterfaceInterface300>(found[0], kIOUSBInterfaceUserClientTypeID,
                                                                   kIOUSBInterfaceInterfaceID300);
        for (io_service_t service : found) {
            IOObjectRelease(service);
        }
        if (interface == nullptr) {
            ADD_FAILURE() << "no interface plug-in";
            return nullptr;
        }
        fInterfaces.push_back(interface);
        CFRunLoopSourceRef source = nullptr;
        EXPECT_EQ((*interface)->CreateInterfaceAsyncEventSource(interface, &source), kIOReturnSuccess);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        if (open) {
            EXPECT_EQ((*interface)->USBInterfaceOpen(interface), kIOReturnSuccess);
        }
        return interface;
    }

    // Steps time in microframes until `completion` has been called, within `limit`.
    void runUntilCalled(const Completion& completion, std::chrono::nanoseconds limit = 50ms)
    {
        for (auto stepped = 0ns; completion.calls == 0 && stepped < limit; stepped += 125us) {
            CoreFoundationTesting::advanceAndRun(fClock, 125us);
        }
        ASSERT_EQ(completion.calls, 1);
    }

    DarwinTesting::ManualClock fClock;
    std::shared_ptr<EchoDevice> fEcho = std::make_shared<EchoDevice>();
    io_service_t fNub = 0;
    IOUSBDeviceInterface300** fDevice = nullptr;
    std::vector<IOUSBInterfaceInterface300**> fInterfaces;
};

} // namespace

TEST_F(USBPlugIn, ConfigurationAndItsDescriptor)
{
    UInt8 value = 0;
    EXPECT_EQ((*fDevice)->GetConfiguration(fDevice, &value), kIOReturnSuccess);
    IOUSBConfigurationDescriptorPtr descriptor = nullptr;
    ASSERT_EQ((*fDevice)->GetConfigurationDescriptorPtr(fDevice, 0, &descriptor), kIOReturnSuccess);
    EXPECT_EQ(value, descriptor->bConfigurationValue);
    EXPECT_EQ(descriptor->bNumInterfaces, 2);
    ASSERT_EQ((*fDevice)->USBDeviceOpen(fDevice), kIOReturnSuccess);
    EXPECT_EQ((*fDevice)->SetConfiguration(fDevice, descriptor->bConfigurationValue), kIOReturnSuccess);
    EXPECT_EQ((*fDevice)->USBDeviceClose(fDevice), kIOReturnSuccess);
    EXPECT_EQ((*fDevice)->GetConfigurationDescriptorPtr(fDevice, 1, &descriptor), kIOReturnBadArgument);
    UInt8 serialIndex = 0;
    EXPECT_EQ((*fDevice)->USBGetSerialNumberStringIndex(fDevice, &serialIndex), kIOReturnSuccess);
    EXPECT_EQ(serialIndex, 3);
}

// A device no driver configured has no interfaces until a configuration is set, which publishes
// them.
TEST_F(USBPlugIn, SettingTheConfigurationPublishesItsInterfaces)
{
    fEcho->setEnumeratedUnconfigured(true);
    SimUSB::Bus::shared().reEnumerate(kPort, 0);
    SimUSB::Bus::shared().settle();
    (*fDevice)->Release(fDevice);
    IOObjectRelease(fNub);
    fNub = copyDeviceNub(kPort);
    ASSERT_NE(fNub, 0u);
    fDevice =
        queryPlugIn<IOUSBDeviceInterface300>(fNub, kIOUSBDeviceUserClientTypeID, kIOUSBDeviceInterfaceID300);
    ASSERT_NE(fDevice, nullptr);

    UInt8 value = 1;
    EXPECT_EQ((*fDevice)->GetConfiguration(fDevice, &value), kIOReturnSuccess);
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(interfaces(0xFF).empty());
    ASSERT_EQ((*fDevice)->USBDeviceOpen(fDevice), kIOReturnSuccess);
    EXPECT_EQ((*fDevice)->SetConfiguration(fDevice, 1), kIOReturnSuccess);
    EXPECT_EQ((*fDevice)->GetConfiguration(fDevice, &value), kIOReturnSuccess);
    EXPECT_EQ(value, 1);
    auto published = interfaces(0xFF);
    EXPECT_EQ(published.size(), 2u);
    for (io_service_t service : published) {
        IOObjectRelease(service);
    }
    (*fDevice)->USBDeviceClose(fDevice);
}

TEST_F(USBPlugIn, InterfaceIteratorFiltersOnClass)
{
    auto vendor = interfaces(0xFF);
    EXPECT_EQ(vendor.size(), 2u);
    for (io_service_t service : vendor) {
        IOObjectRelease(service);
    }
    EXPECT_TRUE(interfaces(0x0A).empty());
}

TEST_F(USBPlugIn, PipePropertiesFollowTheEndpointOrder)
{
    auto** interface = echoInterface(false);
    ASSERT_NE(interface, nullptr);
    UInt8 count = 0;
    (*interface)->GetNumEndpoints(interface, &count);
    ASSERT_EQ(count, 3);
    struct Expected
    {
        UInt8 direction, number, type;
        UInt16 maxPacket;
    };
    const Expected expected[] = {
        {kUSBOut, 1, kUSBBulk, 512}, {kUSBIn, 1, kUSBBulk, 512}, {kUSBIn, 2, kUSBInterrupt, 8}};
    for (UInt8 pipe = 1; pipe <= 3; ++pipe) {
        UInt8 direction, number, type, interval;
        UInt16 maxPacket;
        ASSERT_EQ((*interface)
                      ->GetPipeProperties(interface, pipe, &direction, &number, &type, &maxPacket, &interval),
                  kIOReturnSuccess);
        EXPECT_EQ(direction, expected[pipe - 1].direction);
        EXPECT_EQ(number, expected[pipe - 1].number);
        EXPECT_EQ(type, expected[pipe - 1].type);
        EXPECT_EQ(maxPacket, expected[pipe - 1].maxPacket);
    }
    UInt8 interfaceClass = 0;
    (*interface)->GetInterfaceClass(interface, &interfaceClass);
    EXPECT_EQ(interfaceClass, 0xFF);
}

TEST_F(USBPlugIn, TransfersCompleteOnTheRunLoopNeverInline)
{
    auto** interface = echoInterface();
    ASSERT_NE(interface, nullptr);
    uint8_t out[5] = {1, 2, 3, 4, 5};
    Completion wrote;
    ASSERT_EQ((*interface)->WritePipeAsyncTO(interface, 1, out, 5, 100, 100, Completion::record, &wrote),
              kIOReturnSuccess);
    EXPECT_EQ(wrote.calls, 0);
    runUntilCalled(wrote);
    EXPECT_EQ(wrote.result, kIOReturnSuccess);
    EXPECT_EQ(wrote.count, 5u);

    uint8_t in[64] = {};
    Completion read;
    ASSERT_EQ((*interface)->ReadPipeAsyncTO(interface, 2, in, 64, 100, 100, Completion::record, &read),
              kIOReturnSuccess);
    EXPECT_EQ(read.calls, 0);
    runUntilCalled(read);
    EXPECT_EQ(read.result, kIOReturnSuccess);
    ASSERT_EQ(read.count, 5u);
    EXPECT_EQ(in[4], 5);
}

struct TimeoutCase
{
    UInt32 noData;
    UInt32 completion;
    // Bytes the echo has to give before it falls silent: one full packet, which does not end a read.
    UInt32 echoed;
    UInt32 firesAtMs;
};

class USBPlugInTimeout : public USBPlugIn, public testing::WithParamInterface<TimeoutCase>
{};

TEST_P(USBPlugInTimeout, FiresWhenTheClockPassesIt)
{
    const TimeoutCase& c = GetParam();
    auto** interface = echoInterface();
    ASSERT_NE(interface, nullptr);
    std::vector<uint8_t> out(c.echoed, 0x5A);
    Completion wrote;
    if (c.echoed != 0) {
        ASSERT_EQ(
            (*interface)
                ->WritePipeAsyncTO(interface, 1, out.data(), c.echoed, 0, 0, Completion::record, &wrote),
            kIOReturnSuccess);
    }
    uint8_t in[1024];
    Completion read;
    ASSERT_EQ(
        (*interface)
            ->ReadPipeAsyncTO(interface, 2, in, 1024, c.noData, c.completion, Completion::record, &read),
        kIOReturnSuccess);
    CoreFoundationTesting::advanceAndRun(fClock, std::chrono::milliseconds(c.firesAtMs) - 1ms);
    EXPECT_EQ(read.calls, 0);
    runUntilCalled(read, 2ms);
    EXPECT_EQ(read.result, kIOUSBTransactionTimeout);
    EXPECT_EQ(read.count, c.echoed);
}

// A no-data time-out counts from the last byte moved, which the echoed packet moves by a
// quarter millisecond.
INSTANTIATE_TEST_SUITE_P(Limits, USBPlugInTimeout,
                         testing::Values(TimeoutCase{100, 0, 0, 100}, TimeoutCase{0, 50, 0, 50},
                                         TimeoutCase{200, 30, 0, 30}, TimeoutCase{20, 300, 0, 20},
                                         TimeoutCase{100, 0, 512, 100}, TimeoutCase{0, 50, 512, 50},
                                         TimeoutCase{20, 300, 512, 20}));

TEST_F(USBPlugIn, DetachAbortsWhatIsPendingAndRefusesWhatFollows)
{
    auto** interface = echoInterface();
    ASSERT_NE(interface, nullptr);
    uint8_t in[64];
    Completion pending;
    ASSERT_EQ((*interface)->ReadPipeAsyncTO(interface, 2, in, 64, 0, 0, Completion::record, &pending),
              kIOReturnSuccess);
    SimUSB::Bus::shared().detach(kPort);
    runUntilCalled(pending);
    EXPECT_EQ(pending.result, kIOReturnAborted);
    Completion later;
    EXPECT_EQ((*interface)->ReadPipeAsyncTO(interface, 2, in, 64, 0, 0, Completion::record, &later),
              kIOReturnNoDevice);
    CoreFoundationTesting::advanceAndRun(fClock, 10ms);
    EXPECT_EQ(later.calls, 0);
}

// What reaches the run loop when the device goes: its interface's completions and its terminate
// notification, in the order the hook sets.
class USBPlugInDetachOrder : public USBPlugIn,
                             public testing::WithParamInterface<IOKitTesting::CompletionOrder>
{
protected:
    static void terminated(void* refcon, io_iterator_t iterator)
    {
        auto* self = static_cast<USBPlugInDetachOrder*>(refcon);
        while (io_service_t service = IOIteratorNext(iterator)) {
            self->fEvents.push_back("terminate");
            IOObjectRelease(service);
        }
    }
    static void completed(void* refcon, IOReturn result, void*)
    {
        auto* self = static_cast<USBPlugInDetachOrder*>(refcon);
        char text[32];
        snprintf(text, sizeof text, "completion %08x", result);
        self->fEvents.push_back(text);
    }

    std::vector<std::string> fEvents;
};

TEST_P(USBPlugInDetachOrder, CompletionsAndTheTerminateComeInTheOrderSet)
{
    IOKitTesting::USBDeviceScript script;
    script.setCompletionOrder(GetParam());
    IONotificationPortRef port = IONotificationPortCreate(kIOMainPortDefault);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    io_iterator_t notification = 0;
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOTerminatedNotification,
                                               IOServiceMatching("IOUSBDevice"), terminated, this,
                                               &notification),
              KERN_SUCCESS);
    terminated(this, notification);
    auto** interface = echoInterface();
    ASSERT_NE(interface, nullptr);

    // A write the bus has completed, its callback not yet run, and a read still pending.
    uint8_t out[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ((*interface)->WritePipeAsyncTO(interface, 1, out, 5, 0, 0, completed, this), kIOReturnSuccess);
    fClock.advance(1ms);
    uint8_t in[8];
    ASSERT_EQ((*interface)->ReadPipeAsyncTO(interface, 3, in, 8, 0, 0, completed, this), kIOReturnSuccess);
    EXPECT_TRUE(fEvents.empty());
    SimUSB::Bus::shared().detach(kPort);
    CoreFoundationTesting::runUntilIdle();

    const std::vector<std::string> completions{"completion 00000000", "completion e00002eb"};
    std::vector<std::string> expected = completions;
    expected.insert(GetParam() == IOKitTesting::CompletionOrder::BeforeTerminate ? expected.end()
                                                                                 : expected.begin(),
                    "terminate");
    EXPECT_EQ(fEvents, expected);
    EXPECT_EQ((*interface)->ReadPipeAsyncTO(interface, 3, in, 8, 0, 0, completed, this), kIOReturnNoDevice);

    IOObjectRelease(notification);
    IONotificationPortDestroy(port);
}

INSTANTIATE_TEST_SUITE_P(Orders, USBPlugInDetachOrder,
                         testing::Values(IOKitTesting::CompletionOrder::BeforeTerminate,
                                         IOKitTesting::CompletionOrder::AfterTerminate),
                         [](const testing::TestParamInfo<IOKitTesting::CompletionOrder>& info) {
                             return std::string(IOKitTesting::nameOf(info.param));
                         });

TEST_F(USBPlugIn, NoCallbackAfterCloseAndOneHolderAtATime)
{
    auto** interface = echoInterface();
    ASSERT_NE(interface, nullptr);
    auto** other = echoInterface(false);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ((*other)->USBInterfaceOpen(other), kIOReturnExclusiveAccess);

    uint8_t in[64];
    Completion read;
    ASSERT_EQ((*interface)->ReadPipeAsyncTO(interface, 2, in, 64, 0, 0, Completion::record, &read),
              kIOReturnSuccess);
    EXPECT_EQ((*interface)->USBInterfaceClose(interface), kIOReturnSuccess);
    CoreFoundationTesting::advanceAndRun(fClock, 10ms);
    EXPECT_EQ(read.calls, 0);
    EXPECT_EQ((*other)->USBInterfaceOpen(other), kIOReturnSuccess);
}

TEST_F(USBPlugIn, DeviceRequestsFromAnyThreadWithoutOpenAndAfterDetach)
{
    uint8_t stored[3] = {7, 8, 9};
    IOUSBDevRequest store{0x40, 1, 0, 0, 3, stored, 0};
    IOReturn fromThread = kIOReturnError;
    std::thread([&] { fromThread = (*fDevice)->DeviceRequest(fDevice, &store); }).join();
    EXPECT_EQ(fromThread, kIOReturnSuccess);
    EXPECT_EQ(store.wLenDone, 3u);

    uint8_t back[64] = {};
    IOUSBDevRequestTO read{0xC0, 1, 0, 0, 64, back, 0, 1000, 1000};
    EXPECT_EQ((*fDevice)->DeviceRequestTO(fDevice, &read), kIOReturnSuccess);
    EXPECT_EQ(read.wLenDone, 3u);
    EXPECT_EQ(back[2], 9);

    IOUSBDevRequest stalled{0xC0, 9, 0, 0, 1, back, 0};
    EXPECT_EQ((*fDevice)->DeviceRequest(fDevice, &stalled), kIOUSBPipeStalled);

    SimUSB::Bus::shared().detach(kPort);
    EXPECT_EQ((*fDevice)->DeviceRequest(fDevice, &store), kIOReturnNoDevice);
}
