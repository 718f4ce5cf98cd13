#include "PropertyConversion.h"

#include <libkern/c++/OSArray.h>
#include <libkern/c++/OSBoolean.h>
#include <libkern/c++/OSData.h>
#include <libkern/c++/OSDictionary.h>
#include <libkern/c++/OSNumber.h>
#include <libkern/c++/OSString.h>

#include <cstdint>
#include <string>
#include <vector>

namespace KernelIOKitPlatform {

namespace {

CFTypeRef createCFDictionary(const OSDictionary* dictionary)
{
    CFMutableDictionaryRef result = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                              &kCFTypeDictionaryValueCallBacks);
    for (unsigned int index = 0; index < dictionary->getCount(); ++index) {
        const auto* key = static_cast<const OSString*>(dictionary->getIterationObject(index));
        CFTypeRef value = createCFValue(dictionary->getObject(key));
        if (!value) {
            continue;
        }
        CFStringRef cfKey =
            CFStringCreateWithCString(nullptr, key->getCStringNoCopy(), kCFStringEncodingUTF8);
        CFDictionarySetValue(result, cfKey, value);
        CFRelease(cfKey);
        CFRelease(value);
    }
    return result;
}

CFTypeRef createCFArray(const OSArray* array)
{
    CFMutableArrayRef result = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    for (unsigned int index = 0; index < array->getCount(); ++index) {
        if (CFTypeRef value = createCFValue(array->getObject(index))) {
            CFArrayAppendValue(result, value);
            CFRelease(value);
        }
    }
    return result;
}

OSObject* createOSString(CFStringRef string)
{
    const CFIndex capacity =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::string text(size_t(capacity), '\0');
    if (!CFStringGetCString(string, text.data(), capacity, kCFStringEncodingUTF8)) {
        return nullptr;
    }
    return OSString::withCString(text.c_str());
}

OSObject* createOSNumber(CFNumberRef number)
{
    int64_t value = 0;
    CFNumberGetValue(number, kCFNumberSInt64Type, &value);
    return OSNumber::withNumber(uint64_t(value), unsigned(CFNumberGetByteSize(number)) * 8);
}

OSObject* createOSDictionary(CFDictionaryRef dictionary)
{
    const CFIndex count = CFDictionaryGetCount(dictionary);
    std::vector<const void*> keys(static_cast<size_t>(count));
    std::vector<const void*> values(static_cast<size_t>(count));
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    OSDictionary* result = OSDictionary::withCapacity(unsigned(count));
    for (CFIndex index = 0; index < count; ++index) {
        if (CFGetTypeID(keys[size_t(index)]) != CFStringGetTypeID()) {
            continue;
        }
        OSObject* key = createOSString(static_cast<CFStringRef>(keys[size_t(index)]));
        OSObject* value = createOSValue(values[size_t(index)]);
        if (key && value) {
            result->setObject(static_cast<OSString*>(key), value);
        }
        OSSafeReleaseNULL(key);
        OSSafeReleaseNULL(value);
    }
    return result;
}

OSObject* createOSArray(CFArrayRef array)
{
    const CFIndex count = CFArrayGetCount(array);
    OSArray* result = OSArray::withCapacity(unsigned(count));
    for (CFIndex index = 0; index < count; ++index) {
        if (OSObject* value = createOSValue(CFArrayGetValueAtIndex(array, index))) {
            result->setObject(value);
            value->release();
        }
    }
    return result;
}

} // namespace

CFTypeRef createCFValue(const OSObject* object)
{
    if (const auto* string = OSDynamicCast(const OSString, object)) {
        return CFStringCreateWithCString(nullptr, string->getCStringNoCopy(), kCFStringEncodingUTF8);
    }
    if (const auto* number = OSDynamicCast(const OSNumber, object)) {
        if (number->numberOfBits() > 32) {
            const auto wide = int64_t(number->unsigned64BitValue());
            return CFNumberCreate(nullptr, kCFNumberSInt64Type, &wide);
        }
        const auto narrow = int32_t(number->unsigned32BitValue());
        return CFNumberCreate(nullptr, kCFNumberSInt32Type, &narrow);
    }
    if (const auto* data = OSDynamicCast(const OSData, object)) {
        return CFDataCreate(nullptr, static_cast<const UInt8*>(data->getBytesNoCopy()),
                            CFIndex(data->getLength()));
    }
    if (const auto* boolean = OSDynamicCast(const OSBoolean, object)) {
        return CFRetain(boolean->isTrue() ? kCFBooleanTrue : kCFBooleanFalse);
    }
    if (const auto* dictionary = OSDynamicCast(const OSDictionary, object)) {
        return createCFDictionary(dictionary);
    }
    if (const auto* array = OSDynamicCast(const OSArray, object)) {
        return createCFArray(array);
    }
    return nullptr;
}

OSObject* createOSValue(CFTypeRef value)
{
    if (!value) {
        return nullptr;
    }
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) {
        return createOSString(static_cast<CFStringRef>(value));
    }
    if (type == CFNumberGetTypeID()) {
        return createOSNumber(static_cast<CFNumberRef>(value));
    }
    if (type == CFDataGetTypeID()) {
        auto data = static_cast<CFDataRef>(value);
        return OSData::withBytes(CFDataGetBytePtr(data), unsigned(CFDataGetLength(data)));
    }
    if (type == CFBooleanGetTypeID()) {
        return OSBoolean::withBoolean(CFBooleanGetValue(static_cast<CFBooleanRef>(value)));
    }
    if (type == CFDictionaryGetTypeID()) {
        return createOSDictionary(static_cast<CFDictionaryRef>(value));
    }
    if (type == CFArrayGetTypeID()) {
        return createOSArray(static_cast<CFArrayRef>(value));
    }
    return nullptr;
}

} // namespace KernelIOKitPlatform
