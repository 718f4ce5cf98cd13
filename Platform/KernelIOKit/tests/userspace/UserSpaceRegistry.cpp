#include "UserSpaceRegistry.h"

#include <IOKit/IOKitLib.h>
#include <IOKitTesting/Services.h>

namespace KernelIOKitTestSupport {

CFTypeRef copyUserSpaceProperty(const std::shared_ptr<IOKitPlatform::RegistryEntry>& entry, const char* key)
{
    io_registry_entry_t handle = IOKitTesting::copyHandle(entry);
    CFStringRef cfKey = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef value = IORegistryEntryCreateCFProperty(handle, cfKey, nullptr, 0);
    CFRelease(cfKey);
    IOObjectRelease(handle);
    return value;
}

int countUserSpaceServices(const char* className)
{
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching(className), &iterator) !=
        KERN_SUCCESS) {
        return -1;
    }
    int count = 0;
    while (io_object_t service = IOIteratorNext(iterator)) {
        ++count;
        IOObjectRelease(service);
    }
    IOObjectRelease(iterator);
    return count;
}

} // namespace KernelIOKitTestSupport
