#include "Properties.h"

#include <DriverKit/OSArray.h>
#include <DriverKit/OSBoolean.h>
#include <DriverKit/OSData.h>
#include <DriverKit/OSNumber.h>
#include <DriverKit/OSString.h>

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

} // namespace DriverKitPlatform
