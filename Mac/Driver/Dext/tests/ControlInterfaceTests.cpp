#include "DextDevice.h"
#include "DextTestSupport.h"

#include <com_vork_driver_tide_control_interface.h>

#include <CoreFoundationTesting/RunLoop.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

using DextTesting::kError;

OSSharedPtr<com_vork_driver_tide_control_interface> makeControl()
{
    OSSharedPtr<com_vork_driver_tide_control_interface> control(new com_vork_driver_tide_control_interface,
                                                                OSNoRetain);
    EXPECT_TRUE(control->init());
    return control;
}

TEST(DextControlInterface, RefusesAProviderThatIsNotAUSBInterfaceWithoutStopping)
{
    auto control = makeControl();
    EXPECT_EQ(control->Start(nullptr), kError);
    EXPECT_NE(control->getWorkLoop(), nullptr) << "no stop ran";
    EXPECT_EQ(control->GetProvider(), nullptr);
    control->Stop(nullptr);
}

class DextControlInterfacePublication : public DextTesting::DextDeviceTest
{};

// The plug-in finds the service by its first publication and reads the UID there: it is already set.
TEST_F(DextControlInterfacePublication, UIDIsThereWhenTheServiceIsFirstPublished)
{
    DextTesting::registerDextDrivers();
    IONotificationPortRef port = IONotificationPortCreate(kIOMainPortDefault);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    io_iterator_t published = 0;
    std::string uid;
    auto read = [](void* refcon, io_iterator_t iterator) {
        while (io_object_t object = IOIteratorNext(iterator)) {
            *static_cast<std::string*>(refcon) =
                DextTesting::stringProperty(object, "com_vork_driver_tide_device_UID") + ".";
            IOObjectRelease(object);
        }
    };
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOFirstPublishNotification,
                                               IOServiceMatching("com_vork_driver_tide_control_interface"),
                                               read, &uid, &published),
              kIOReturnSuccess);
    read(&uid, published);
    ASSERT_TRUE(uid.empty());

    attach(KorvanInterface::DescriptorOptions(KorvanInterface::Model::Wrenlet, DextTesting::kVendor));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (uid.empty() && std::chrono::steady_clock::now() < deadline) {
        CoreFoundationTesting::runUntilIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(uid, "ab12cd34.");
    IOObjectRelease(published);
    IONotificationPortDestroy(port);
}

} // namespace
