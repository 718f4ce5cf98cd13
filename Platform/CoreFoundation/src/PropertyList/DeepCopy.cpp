// Copies of property lists that share nothing mutable with the original.

#include "PropertyList/Containers.h"
#include "PropertyList/Limits.h"

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFString.h>

#include <vector>

namespace CFPlatform {

namespace {

CFTypeRef copyValue(CFTypeRef value, CFOptionFlags mutability, int depth);

CFTypeRef copyArray(CFArrayRef array, CFOptionFlags mutability, int depth)
{
    OwnedList values;
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
        CFTypeRef copy = copyValue(CFArrayGetValueAtIndex(array, i), mutability, depth + 1);
        if (!copy) {
            return nullptr;
        }
        values.add(copy);
    }
    return createArray(values, mutability);
}

CFTypeRef copyDictionary(CFDictionaryRef dictionary, CFOptionFlags mutability, int depth)
{
    auto count = static_cast<size_t>(CFDictionaryGetCount(dictionary));
    std::vector<const void*> keys(count);
    std::vector<const void*> values(count);
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    OwnedList keyCopies;
    OwnedList valueCopies;
    for (size_t i = 0; i < count; ++i) {
        if (!keys[i] || CFGetTypeID(keys[i]) != CFStringGetTypeID()) {
            return nullptr;
        }
        keyCopies.add(CFStringCreateCopy(nullptr, static_cast<CFStringRef>(keys[i])));
        CFTypeRef copy = copyValue(values[i], mutability, depth + 1);
        if (!copy) {
            return nullptr;
        }
        valueCopies.add(copy);
    }
    return createDictionary(keyCopies, valueCopies, mutability);
}

CFTypeRef copyValue(CFTypeRef value, CFOptionFlags mutability, int depth)
{
    if (!value || depth > kMaxPropertyListDepth) {
        return nullptr;
    }
    CFTypeID type = CFGetTypeID(value);
    if (type == CFDictionaryGetTypeID()) {
        return copyDictionary(static_cast<CFDictionaryRef>(value), mutability, depth);
    }
    if (type == CFArrayGetTypeID()) {
        return copyArray(static_cast<CFArrayRef>(value), mutability, depth);
    }
    if (type == CFStringGetTypeID()) {
        return adoptLeaf(CFStringCreateCopy(nullptr, static_cast<CFStringRef>(value)), mutability);
    }
    if (type == CFDataGetTypeID()) {
        return adoptLeaf(CFDataCreateCopy(nullptr, static_cast<CFDataRef>(value)), mutability);
    }
    if (type == CFNumberGetTypeID() || type == CFBooleanGetTypeID() || type == CFDateGetTypeID()) {
        return CFRetain(value);
    }
    return nullptr;
}

} // namespace

} // namespace CFPlatform

CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef, CFPropertyListRef propertyList,
                                               CFOptionFlags mutabilityOption)
{
    return CFPlatform::copyValue(propertyList, mutabilityOption, 0);
}
