#include "Properties.h"

#include <DriverKit/OSArray.h>
#include <DriverKit/OSBoolean.h>
#include <DriverKit/OSData.h>
#include <DriverKit/OSNumber.h>
#include <DriverKit/OSString.h>

#include <vector>

namespace DriverKitPlatform {

CFDictionaryRef copyPropertyDictionary(const OSDictionary* dictionary)
{
    CFMutableDictionaryRef result = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    dictionary->iterateObjects([&](const char* key, OSObject* object) {
        CFTypeRef value = copyPropertyValue(object);
        if (value != nullptr) {
            CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
            CFDictionarySetValue(result, name, value);
            CFRelease(name);
            CFRelease(value);
        }
        return false;
    });
    return result;
}

CFTypeRef copyPropertyValue(const OSObject* object)
{
    if (const auto* string = dynamic_cast<const OSString*>(object)) {
        return CFStringCreateWithCString(kCFAllocatorDefault, string->getCStringNoCopy(),
                                         kCFStringEncodingUTF8);
    }
    if (const auto* number = dynamic_cast<const OSNumber*>(object)) {
        const auto value = int64_t(number->unsigned64BitValue());
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
    }
    if (const auto* data = dynamic_cast<const OSData*>(object)) {
        return CFDataCreate(kCFAllocatorDefault, static_cast<const UInt8*>(data->getBytesNoCopy()),
                            CFIndex(data->getLength()));
    }
    if (const auto* boolean = dynamic_cast<const OSBoolean*>(object)) {
        return CFRetain(boolean->getValue() ? kCFBooleanTrue : kCFBooleanFalse);
    }
    if (const auto* array = dynamic_cast<const OSArray*>(object)) {
        CFMutableArrayRef result = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
        for (uint32_t i = 0; i < array->getCount(); ++i) {
            if (CFTypeRef value = copyPropertyValue(array->getObject(i))) {
                CFArrayAppendValue(result, value);
                CFRelease(value);
            }
        }
        return result;
    }
    if (const auto* dictionary = dynamic_cast<const OSDictionary*>(object)) {
        return copyPropertyDictionary(dictionary);
    }
    return nullptr;
}

OSObject* copyObjectValue(CFTypeRef value)
{
    if (value == nullptr) {
        return nullptr;
    }
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) {
        const auto string = static_cast<CFStringRef>(value);
        const CFIndex size =
            CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
        std::vector<char> buffer(size_t(size), 0);
        CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8);
        return OSString::withCString(buffer.data());
    }
    if (type == CFNumberGetTypeID()) {
        int64_t number = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &number);
        return OSNumber::withNumber(uint64_t(number), 64);
    }
    if (type == CFBooleanGetTypeID()) {
        return OSBoolean::withBoolean(CFBooleanGetValue(static_cast<CFBooleanRef>(value)));
    }
    if (type == CFDataGetTypeID()) {
        const auto data = static_cast<CFDataRef>(value);
        return OSData::withBytes(CFDataGetBytePtr(data), size_t(CFDataGetLength(data)));
    }
    if (type == CFArrayGetTypeID()) {
        const auto array = static_cast<CFArrayRef>(value);
        OSArray* result = OSArray::withCapacity(uint32_t(CFArrayGetCount(array)));
        for (CFIndex i = 0; result != nullptr && i < CFArrayGetCount(array); ++i) {
            if (OSObject* element = copyObjectValue(CFArrayGetValueAtIndex(array, i))) {
                result->setObject(element);
                element->release();
            }
        }
        return result;
    }
    if (type == CFDictionaryGetTypeID()) {
        const auto dictionary = static_cast<CFDictionaryRef>(value);
        const CFIndex count = CFDictionaryGetCount(dictionary);
        std::vector<const void*> keys(static_cast<size_t>(count));
        std::vector<const void*> values(static_cast<size_t>(count));
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        OSDictionary* result = OSDictionary::withCapacity(uint32_t(count));
        for (CFIndex i = 0; result != nullptr && i < count; ++i) {
            OSSharedPtr<OSObject> key(copyObjectValue(keys[size_t(i)]), OSNoRetain);
            OSSharedPtr<OSObject> element(copyObjectValue(values[size_t(i)]), OSNoRetain);
            if (const auto* name = OSDynamicCast(OSString, key.get()); name != nullptr && element) {
                result->setObject(name, element.get());
            }
        }
        return result;
    }
    return nullptr;
}

} // namespace DriverKitPlatform
