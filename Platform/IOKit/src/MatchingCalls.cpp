// Matching dictionaries, lookups and matching notifications.

#include "MatchingNotification.h"
#include "Registry.h"

#include <IOKit/IOKitLib.h>

using IOKit::HandleTable;
using IOKit::MatchingCriteria;
using IOKit::MatchingNotification;
using IOKit::NotificationIterator;
using IOKit::Registry;
using IOKit::SnapshotIterator;

CFMutableDictionaryRef IOServiceMatching(const char* name)
{
    if (name == nullptr) {
        return nullptr;
    }
    CFStringRef className = CFStringCreateWithCString(kCFAllocatorDefault, name, kCFStringEncodingUTF8);
    if (className == nullptr) {
        return nullptr;
    }
    CFMutableDictionaryRef matching = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(matching, CFSTR(kIOProviderClassKey), className);
    CFRelease(className);
    return matching;
}

kern_return_t IOServiceGetMatchingServices(mach_port_t, CFDictionaryRef matching, io_iterator_t* existing)
{
    if (matching == nullptr) {
        return kIOReturnBadArgument;
    }
    std::vector<std::shared_ptr<IOKitPlatform::RegistryEntry>> found;
    {
        MatchingCriteria criteria(matching);
        CFRelease(matching);
        found = Registry::shared().matchingServices(criteria);
    }
    if (existing == nullptr) {
        return kIOReturnBadArgument;
    }
    *existing = HandleTable::shared().add(std::make_shared<SnapshotIterator>(std::move(found)));
    return kIOReturnSuccess;
}

kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort, const char* notificationType,
                                               CFDictionaryRef matching, IOServiceMatchingCallback callback,
                                               void* refCon, io_iterator_t* notification)
{
    if (matching == nullptr) {
        return kIOReturnBadArgument;
    }
    auto kind = IOKit::notificationKind(notificationType);
    if (notifyPort == nullptr || !kind || callback == nullptr || notification == nullptr) {
        CFRelease(matching);
        return kIOReturnBadArgument;
    }
    auto added = std::make_shared<MatchingNotification>(*kind, matching, callback, refCon, notifyPort->fPort);
    CFRelease(matching);
    added->fHandle = HandleTable::shared().add(std::make_shared<NotificationIterator>(added));
    Registry::shared().addNotification(added);
    *notification = added->fHandle;
    return kIOReturnSuccess;
}
