#include "PropertyList/Containers.h"

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFString.h>

namespace CFPlatform {

CFTypeRef createArray(OwnedList& values, CFOptionFlags mutability)
{
    if (mutability == kCFPropertyListImmutable) {
        return CFArrayCreate(nullptr, values.data(), values.count(), &kCFTypeArrayCallBacks);
    }
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    for (CFIndex i = 0; i < values.count(); ++i) {
        CFArrayAppendValue(array, values.data()[i]);
    }
    return array;
}

CFTypeRef createDictionary(OwnedList& keys, OwnedList& values, CFOptionFlags mutability)
{
    if (mutability == kCFPropertyListImmutable) {
        return CFDictionaryCreate(nullptr, keys.data(), values.data(), keys.count(),
                                  &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    }
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                  &kCFTypeDictionaryValueCallBacks);
    for (CFIndex i = 0; i < keys.count(); ++i) {
        CFDictionarySetValue(dictionary, keys.data()[i], values.data()[i]);
    }
    return dictionary;
}

CFTypeRef adoptLeaf(CFTypeRef leaf, CFOptionFlags mutability)
{
    if (mutability != kCFPropertyListMutableContainersAndLeaves) {
        return leaf;
    }
    Owned owned(leaf);
    if (CFGetTypeID(leaf) == CFStringGetTypeID()) {
        return CFStringCreateMutableCopy(nullptr, 0, static_cast<CFStringRef>(leaf));
    }
    if (CFGetTypeID(leaf) == CFDataGetTypeID()) {
        return CFDataCreateMutableCopy(nullptr, 0, static_cast<CFDataRef>(leaf));
    }
    return owned.release();
}

} // namespace CFPlatform
