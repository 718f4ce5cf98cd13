// The kernel extension as the system runs it: its bundle loaded, its personalities matched against
// the nubs of a Wrenlet on the simulated bus, seen from user space only.

#include <KernelIOKitTesting/KernelExtensionLoading.h>

#include <DriverKitTesting/DriverKitTesting.h>

#include <IOKit/IOKitLib.h>

#include <DarwinTesting/Eventually.h>
#include <KorvanDeviceIdentities.h>
#include <KorvanInterface/KorvanDevice.h>
#include <KorvanInterface/Variants.h>
#include <SimUSB/Bus.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr uint8_t kPort = 7;
constexpr const char* kControlClass = "com_vork_driver_tide_control_interface";
constexpr const char* kStreamClass = "com_vork_driver_tide_stream_interface";
constexpr const char* kUIDProperty = "com_vork_driver_tide_device_UID";
constexpr const char* kKextBundleID = "com.vork.driver.tide.kext";

std::string stringProperty(io_registry_entry_t entry, const char* key)
{
    CFStringRef cfKey = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef value = IORegistryEntryCreateCFProperty(entry, cfKey, nullptr, 0);
    CFRelease(cfKey);
    char text[256] = {};
    const bool isString =
        value && CFGetTypeID(value) == CFStringGetTypeID() &&
        CFStringGetCString(static_cast<CFStringRef>(value), text, sizeof(text), kCFStringEncodingUTF8);
    if (value) {
        CFRelease(value);
    }
    return isString ? text : "";
}

std::vector<io_object_t> take(io_iterator_t iterator)
{
    std::vector<io_object_t> objects;
    while (io_object_t object = IOIteratorNext(iterator)) {
        objects.push_back(object);
    }
    IOObjectRelease(iterator);
    return objects;
}

// The CFBundleIdentifier of each service of the class below an interface nub.
std::vector<std::string> servicesOnInterfaces(const char* className)
{
    io_iterator_t interfaces = 0;
    std::vector<std::string> found;
    if (IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching("IOUSBHostInterface"),
                                     &interfaces) != kIOReturnSuccess) {
        return found;
    }
    for (io_object_t interface : take(interfaces)) {
        io_iterator_t children = 0;
        IORegistryEntryGetChildIterator(interface, kIOServicePlane, &children);
        for (io_object_t child : take(children)) {
            io_name_t name = {};
            if (IORegistryEntryGetName(child, name) == kIOReturnSuccess && std::string(name) == className) {
                found.push_back(stringProperty(child, "CFBundleIdentifier"));
            }
            IOObjectRelease(child);
        }
        IOObjectRelease(interface);
    }
    return found;
}

std::string controlUID()
{
    io_iterator_t controls = 0;
    std::string uid;
    if (IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching(kControlClass), &controls) ==
        kIOReturnSuccess) {
        for (io_object_t control : take(controls)) {
            uid = stringProperty(control, kUIDProperty);
            IOObjectRelease(control);
        }
    }
    return uid;
}

// The control service has its UID and both streaming interfaces have a driver.
bool matchingEnded()
{
    return DarwinTesting::eventually([] {
        return controlUID() == "ab12cd34" && servicesOnInterfaces(kStreamClass).size() == 2;
    });
}

class KextBundleTests : public testing::Test
{
protected:
    void TearDown() override
    {
        SimUSB::Bus::shared().detach(kPort);
        for (const char* className : {kControlClass, kStreamClass, "IOUSBHostDevice", "IOUSBHostInterface",
                                      "com_vork_driver_tide_provider"}) {
            EXPECT_TRUE(DarwinTesting::eventually([&] {
                return KernelIOKitTesting::liveObjects(className) == 0;
            })) << className
                << " " << KernelIOKitTesting::liveObjects(className) << " left";
        }
    }

    static void plugInWrenlet()
    {
        SimUSB::Bus::shared().attach(
            kPort, std::make_shared<KorvanInterface::KorvanDevice>(KorvanInterface::variantOptions(
                       KorvanInterface::Model::Wrenlet, KorvanDeviceIdentities::kVendorID,
                       KorvanInterface::Variant::Standard)));
    }
};

TEST_F(KextBundleTests, ItsPersonalitiesStartTheControlAndStreamServicesOnTheWrenlet)
{
    ASSERT_TRUE(KernelIOKitTesting::loadKernelExtension(KEXT_BUNDLE));
    plugInWrenlet();

    ASSERT_TRUE(matchingEnded()) << "the control service never set the UID";
    EXPECT_EQ(servicesOnInterfaces(kControlClass), std::vector<std::string>{kKextBundleID});
    EXPECT_EQ(servicesOnInterfaces(kStreamClass), std::vector<std::string>(2, kKextBundleID));
}

TEST_F(KextBundleTests, WithTheDriverExtensionRegisteredTooTheKernelExtensionServesTheWrenlet)
{
    ASSERT_TRUE(DriverKitTesting::loadDriverBundle(DEXT_BUNDLE));
    ASSERT_TRUE(KernelIOKitTesting::loadKernelExtension(KEXT_BUNDLE));
    plugInWrenlet();

    ASSERT_TRUE(matchingEnded());
    EXPECT_EQ(servicesOnInterfaces(kControlClass), std::vector<std::string>{kKextBundleID})
        << "one control service, the kernel's";
    EXPECT_EQ(servicesOnInterfaces(kStreamClass), std::vector<std::string>(2, kKextBundleID));
}

TEST_F(KextBundleTests, LoadingAgainChangesNothingAndAMissingBundleIsRefused)
{
    ASSERT_TRUE(KernelIOKitTesting::loadKernelExtension(KEXT_BUNDLE));
    EXPECT_TRUE(KernelIOKitTesting::loadKernelExtension(KEXT_BUNDLE));
    EXPECT_FALSE(KernelIOKitTesting::loadKernelExtension("/nonexistent/com.vork.driver.tide.kext"));
    plugInWrenlet();
    ASSERT_TRUE(matchingEnded());
    EXPECT_EQ(servicesOnInterfaces(kControlClass).size(), 1u);
}

} // namespace
