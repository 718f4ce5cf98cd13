// Handles, properties, names and children of registry entries.

#include "IOKitTestSupport.h"

#include <gtest/gtest.h>

using namespace IOKitTestSupport;
using Names = std::vector<std::string>;

namespace {

const std::vector<std::string> kControlClass = {"com_vork_driver_tide_control_interface",
                                                "com_vork_driver_tide_base_interface", "IOService"};
const char* const kUIDKey = "com_vork_driver_tide_device_UID";

io_service_t lookUp(const char* className)
{
    io_iterator_t iterator = 0;
    IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching(className), &iterator);
    io_service_t service = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    return service;
}

std::string stringProperty(io_registry_entry_t entry, const char* key)
{
    auto name = cfString(key);
    CFHolder<CFTypeRef> value(IORegistryEntryCreateCFProperty(entry, name.get(), kCFAllocatorDefault, 0));
    if (value.get() == nullptr || CFGetTypeID(value.get()) != CFStringGetTypeID()) {
        return "<none>";
    }
    char text[128] = {};
    CFStringGetCString(static_cast<CFStringRef>(value.get()), text, sizeof text, kCFStringEncodingUTF8);
    return text;
}

TEST(RegistryHandles, OneEntryHasOneHandleValueWhoseCountFollowsRetainsAndReleases)
{
    Services services;
    Entry entry = services.publish(kControlClass, "Control");

    io_service_t first = lookUp(kControlClass[0].c_str());
    io_service_t second = lookUp(kControlClass[1].c_str());
    io_service_t third = IOKitTesting::copyHandle(entry);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(second, first);
    EXPECT_EQ(third, first);
    EXPECT_EQ(IOObjectGetUserRetainCount(first), 3u);
    EXPECT_EQ(IOObjectRetain(first), kIOReturnSuccess);
    EXPECT_EQ(IOObjectGetUserRetainCount(first), 4u);

    for (uint32_t remaining = 3;; --remaining) {
        EXPECT_EQ(IOObjectRelease(first), kIOReturnSuccess);
        EXPECT_EQ(IOObjectGetUserRetainCount(first), remaining);
        if (remaining == 0) {
            break;
        }
    }

    // The value is freed at 0: it names nothing, and the next lookup gets a new one.
    EXPECT_EQ(IOObjectRelease(first), kIOReturnBadArgument);
    io_name_t name;
    EXPECT_EQ(IORegistryEntryGetName(first, name), kIOReturnBadArgument);
    io_service_t again = lookUp(kControlClass[0].c_str());
    EXPECT_NE(again, first);
    EXPECT_EQ(nameOf(again), "Control");
    IOObjectRelease(again);
}

TEST(RegistryHandles, CallsOnAHandleThatNamesNothingFail)
{
    const io_object_t unknown = 0x7FFFFFF0;
    for (io_object_t handle : {io_object_t(0), unknown}) {
        io_name_t name;
        io_iterator_t iterator = 0;
        io_connect_t connect = 0;
        EXPECT_EQ(IOObjectRetain(handle), kIOReturnBadArgument);
        EXPECT_EQ(IOObjectRelease(handle), kIOReturnBadArgument);
        EXPECT_EQ(IOObjectGetUserRetainCount(handle), 0u);
        EXPECT_EQ(IORegistryEntryGetName(handle, name), kIOReturnBadArgument);
        EXPECT_EQ(IORegistryEntryCreateCFProperty(handle, CFSTR("key"), kCFAllocatorDefault, 0), nullptr);
        EXPECT_EQ(IORegistryEntryGetChildIterator(handle, kIOServicePlane, &iterator), kIOReturnBadArgument);
        EXPECT_EQ(IOServiceOpen(handle, mach_task_self(), 0, &connect), kIOReturnBadArgument);
        EXPECT_EQ(IOIteratorNext(handle), 0u);
        EXPECT_FALSE(IOIteratorIsValid(handle));
    }
}

TEST(RegistryProperties, AUIDSetAfterPublicationIsReadAndStaysReadableAfterTermination)
{
    Services services;
    Entry entry = services.publish(kControlClass, "Control");
    io_service_t service = lookUp(kControlClass[0].c_str());
    EXPECT_EQ(stringProperty(service, kUIDKey), "<none>");

    EXPECT_TRUE(entry->setProperty(cfString(kUIDKey).get(), cfString("3a9f00c1").get()));
    EXPECT_EQ(stringProperty(service, kUIDKey), "3a9f00c1");

    entry->terminate();
    EXPECT_EQ(stringProperty(service, kUIDKey), "3a9f00c1");
    EXPECT_EQ(nameOf(service), "Control");
    entry->removeProperty(cfString(kUIDKey).get());
    EXPECT_EQ(stringProperty(service, kUIDKey), "<none>");
    IOObjectRelease(service);
}

TEST(RegistryProperties, ValuesAreStoredAsCopiesAndOnlyPropertyListsAreKept)
{
    Services services;
    CFMutableDictionaryRef initial = emptyDictionary();
    dictionaryWith(initial, kUIDKey, cfString("first").get());
    Entry entry = services.publish(kControlClass, "Control", initial);
    CFMutableDictionaryRef nested = emptyDictionary();
    dictionaryWith(nested, "rate", cfNumber(48000).get());
    EXPECT_TRUE(entry->setProperty(cfString("Nested").get(), nested));

    dictionaryWith(initial, kUIDKey, cfString("changed").get());
    dictionaryWith(nested, "rate", cfNumber(96000).get());

    CFHolder<CFTypeRef> uid(entry->copyProperty(cfString(kUIDKey).get()));
    EXPECT_TRUE(CFEqual(uid.get(), cfString("first").get()));
    CFHolder<CFTypeRef> stored(entry->copyProperty(cfString("Nested").get()));
    EXPECT_TRUE(
        CFEqual(CFDictionaryGetValue(static_cast<CFDictionaryRef>(stored.get()), cfString("rate").get()),
                cfNumber(48000).get()));
    CFHolder<CFUUIDRef> notAPropertyList(CFUUIDCreate(nullptr));
    EXPECT_FALSE(entry->setProperty(cfString("UUID").get(), notAPropertyList.get()));
    EXPECT_EQ(entry->copyProperty(cfString("UUID").get()), nullptr);
    CFRelease(initial);
    CFRelease(nested);
}

TEST(RegistryChildren, TheServicePlaneListsAttachedChildrenInOrder)
{
    Services services;
    Entry device = services.publish({"IOUSBHostDevice", "IOService"}, "Device");
    Entry other = services.publish({"IOUSBHostDevice", "IOService"}, "OtherDevice");
    Entry control = services.create({"IOUSBHostInterface", "IOService"}, "AudioControl");
    Entry streaming = services.create({"IOUSBHostInterface", "IOService"}, "AudioStreaming");
    Entry classDriver = services.create({"AppleUSBAudioDevice", "IOService"}, "");
    control->attachToParent(other);
    control->attachToParent(device);
    streaming->attachToParent(device);
    classDriver->attachToParent(control);
    io_service_t deviceHandle = IOKitTesting::copyHandle(device);
    io_service_t controlHandle = IOKitTesting::copyHandle(control);
    io_service_t otherHandle = IOKitTesting::copyHandle(other);

    io_iterator_t children = 0;
    ASSERT_EQ(IORegistryEntryGetChildIterator(deviceHandle, kIOServicePlane, &children), kIOReturnSuccess);
    EXPECT_EQ(drainNames(children), (Names{"AudioControl", "AudioStreaming"}));
    IOObjectRelease(children);
    ASSERT_EQ(IORegistryEntryGetChildIterator(controlHandle, kIOServicePlane, &children), kIOReturnSuccess);
    EXPECT_EQ(drainNames(children), Names{"AppleUSBAudioDevice"});
    IOObjectRelease(children);
    ASSERT_EQ(IORegistryEntryGetChildIterator(otherHandle, kIOServicePlane, &children), kIOReturnSuccess);
    EXPECT_EQ(drainNames(children), Names{});
    IOObjectRelease(children);
    EXPECT_EQ(IORegistryEntryGetChildIterator(deviceHandle, "IODeviceTree", &children), kIOReturnUnsupported);

    streaming->terminate();
    ASSERT_EQ(IORegistryEntryGetChildIterator(deviceHandle, kIOServicePlane, &children), kIOReturnSuccess);
    EXPECT_EQ(drainNames(children), Names{"AudioControl"});
    IOObjectRelease(children);
    for (io_service_t handle : {deviceHandle, controlHandle, otherHandle}) {
        IOObjectRelease(handle);
    }
}

} // namespace
