#include "DriverKitTestSupport.h"

#include <DriverKitTesting/DriverKitTesting.h>

#include <dispatch/dispatch.h>

#include <algorithm>
#include <condition_variable>

using DriverKitTests::EchoDeviceTest;

namespace {

std::vector<std::string> startsAndStops(const std::vector<std::string>& log)
{
    std::vector<std::string> picked;
    std::copy_if(log.begin(), log.end(), std::back_inserter(picked), [](const std::string& entry) {
        return entry.find("start") != std::string::npos || entry.find("stop") != std::string::npos;
    });
    return picked;
}

TEST_F(EchoDeviceTest, FailedStartFallsBackToTheNextCandidateByProbeScore)
{
    const std::vector<std::string> expected{"FailingEchoToy start", "EchoToy start"};
    EXPECT_EQ(startsAndStops(ToyDrivers::log().entries()), expected);
}

TEST_F(EchoDeviceTest, ServiceIsFoundByItsClassAndItsBases)
{
    for (const char* name : {"EchoToy", "IOService"}) {
        io_service_t service = findService(name);
        EXPECT_NE(service, 0u) << name;
        IOObjectRelease(service);
    }
    io_service_t interface = findService("IOUSBHostInterface");
    EXPECT_NE(interface, 0u);
    IOObjectRelease(interface);
    io_service_t device = findService("IOUSBDevice");
    ASSERT_NE(device, 0u);
    CFTypeRef vendor = IORegistryEntryCreateCFProperty(device, CFSTR("idVendor"), kCFAllocatorDefault, 0);
    ASSERT_NE(vendor, nullptr);
    int value = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(vendor), kCFNumberIntType, &value);
    EXPECT_EQ(value, SimUSBTesting::EchoDevice::kVendor);
    CFRelease(vendor);
    IOObjectRelease(device);
}

TEST_F(EchoDeviceTest, PersonalityBecomesTheServicesProperties)
{
    io_service_t service = findService();
    CFTypeRef score = IORegistryEntryCreateCFProperty(service, CFSTR("IOProbeScore"), kCFAllocatorDefault, 0);
    ASSERT_NE(score, nullptr);
    int value = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(score), kCFNumberIntType, &value);
    EXPECT_EQ(value, 5000);
    CFRelease(score);
    IOObjectRelease(service);
}

TEST_F(EchoDeviceTest, MaxBusStallIsRecorded)
{
    EXPECT_EQ(DriverKitTesting::requiredMaxBusStall(toy), 5000u);
}

TEST_F(EchoDeviceTest, SleepAndWakeReachTheService)
{
    ToyDrivers::log().clear();
    DriverKitTesting::sleepSystem();
    EXPECT_EQ(DriverKitTesting::powerState(toy), 0u);
    DriverKitTesting::wakeSystem();
    EXPECT_EQ(DriverKitTesting::powerState(toy), 2u);
    EXPECT_EQ(ToyDrivers::log().entries(), (std::vector<std::string>{"EchoToy power 0", "EchoToy power 2"}));
}

TEST_F(EchoDeviceTest, CreateBuildsTheNamedUserClientUnderTheService)
{
    io_service_t service = findService();
    io_connect_t connection = 0;
    ASSERT_EQ(IOServiceOpen(service, 0, 7, &connection), kIOReturnSuccess);
    io_iterator_t children = 0;
    ASSERT_EQ(IORegistryEntryGetChildIterator(service, "IOService", &children), kIOReturnSuccess);
    io_registry_entry_t child = IOIteratorNext(children);
    ASSERT_NE(child, 0u);
    io_name_t name{};
    IORegistryEntryGetName(child, name);
    EXPECT_STREQ(name, "EchoToyClient");
    IOObjectRelease(child);
    IOObjectRelease(children);
    EXPECT_EQ(IOServiceClose(connection), kIOReturnSuccess);
    ToyDrivers::log().waitFor("EchoToyClient stop");
    IOObjectRelease(service);
}

TEST_F(EchoDeviceTest, UnknownClientTypeIsRefused)
{
    io_service_t service = findService();
    io_connect_t connection = 0;
    EXPECT_EQ(IOServiceOpen(service, 0, 3, &connection), kIOReturnBadArgument);
    IOObjectRelease(service);
}

struct Notifications
{
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> seen;

    static void published(void* context, io_iterator_t iterator)
    {
        auto* self = static_cast<Notifications*>(context);
        while (io_object_t service = IOIteratorNext(iterator)) {
            CFTypeRef uid =
                IORegistryEntryCreateCFProperty(service, CFSTR("ToyDeviceUID"), kCFAllocatorDefault, 0);
            std::lock_guard guard(self->lock);
            self->seen.push_back(uid != nullptr ? "published with uid" : "published without uid");
            if (uid != nullptr) {
                CFRelease(uid);
            }
            IOObjectRelease(service);
            self->changed.notify_all();
        }
    }
    static void terminated(void* context, io_iterator_t iterator)
    {
        auto* self = static_cast<Notifications*>(context);
        while (io_object_t service = IOIteratorNext(iterator)) {
            std::lock_guard guard(self->lock);
            self->seen.push_back("terminated");
            IOObjectRelease(service);
            self->changed.notify_all();
        }
    }
    void waitFor(size_t count)
    {
        std::unique_lock guard(lock);
        changed.wait(guard, [&] { return seen.size() >= count; });
    }
};

TEST(DriverKitRegistry, FirstPublishComesAfterThePropertiesAndTerminateAfterTheStops)
{
    ToyDrivers::registerAll();
    ToyDrivers::log().clear();
    Notifications notifications;
    dispatch_queue_t queue = dispatch_queue_create("notifications", nullptr);
    IONotificationPortRef port = IONotificationPortCreate(kIOMainPortDefault);
    IONotificationPortSetDispatchQueue(port, queue);
    io_iterator_t published = 0;
    io_iterator_t terminated = 0;
    IOServiceAddMatchingNotification(port, kIOFirstPublishNotification, IOServiceMatching("EchoToy"),
                                     &Notifications::published, &notifications, &published);
    IOServiceAddMatchingNotification(port, kIOTerminatedNotification, IOServiceMatching("EchoToy"),
                                     &Notifications::terminated, &notifications, &terminated);
    dispatch_sync(queue, [&] {
        Notifications::published(&notifications, published);
        Notifications::terminated(&notifications, terminated);
    });

    SimUSB::Bus::shared().attach(1, std::make_shared<SimUSBTesting::EchoDevice>());
    notifications.waitFor(1);
    io_iterator_t iterator = 0;
    IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching("EchoToy"), &iterator);
    io_service_t service = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    io_connect_t connection = 0;
    ASSERT_EQ(IOServiceOpen(service, 0, 7, &connection), kIOReturnSuccess);

    ToyDrivers::log().clear();
    SimUSB::Bus::shared().detach(1);
    notifications.waitFor(2);
    EXPECT_EQ(notifications.seen, (std::vector<std::string>{"published with uid", "terminated"}));
    EXPECT_EQ(startsAndStops(ToyDrivers::log().entries()),
              (std::vector<std::string>{"EchoToyClient stop", "EchoToy stop"}));

    IOServiceClose(connection);
    IOObjectRelease(service);
    IOObjectRelease(published);
    IOObjectRelease(terminated);
    IONotificationPortDestroy(port);
    dispatch_release(queue);
}

} // namespace
