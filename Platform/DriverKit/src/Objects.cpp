// OSObject and the property classes.

#include "Creation.h"

#include <DriverKit/OSArray.h>
#include <DriverKit/OSBoolean.h>
#include <DriverKit/OSData.h>
#include <DriverKit/OSDictionary.h>
#include <DriverKit/OSNumber.h>
#include <DriverKit/OSString.h>

#include <cstring>

OSObject::~OSObject() = default;

bool OSObject::init()
{
    return true;
}

void OSObject::free()
{
    delete this;
}

void OSObject::retain() const
{
    fRetainCount.fetch_add(1, std::memory_order_relaxed);
}

bool OSObject::platformTryRetain() const
{
    int32_t count = fRetainCount.load(std::memory_order_relaxed);
    while (count > 0) {
        if (fRetainCount.compare_exchange_weak(count, count + 1, std::memory_order_acquire)) {
            return true;
        }
    }
    return false;
}

void OSObject::release() const
{
    if (fRetainCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        const_cast<OSObject*>(this)->free();
    }
}

OSData* OSData::withBytes(const void* bytes, size_t length)
{
    OSData* data = withCapacity(uint32_t(length));
    if (data != nullptr) {
        data->appendBytes(bytes, length);
    }
    return data;
}

OSData* OSData::withCapacity(uint32_t capacity)
{
    if (DriverKitPlatform::creationFails()) {
        return nullptr;
    }
    auto* data = new OSData;
    data->fBytes.reserve(capacity);
    return data;
}

bool OSData::appendBytes(const void* bytes, size_t length)
{
    if (length == 0) {
        return true;
    }
    if (bytes == nullptr) {
        return false;
    }
    const auto* from = static_cast<const uint8_t*>(bytes);
    fBytes.insert(fBytes.end(), from, from + length);
    return true;
}

const void* OSData::getBytesNoCopy() const
{
    return fBytes.empty() ? nullptr : fBytes.data();
}

size_t OSData::getLength() const
{
    return fBytes.size();
}

OSString* OSString::withCString(const char* text)
{
    if (text == nullptr || DriverKitPlatform::creationFails()) {
        return nullptr;
    }
    auto* string = new OSString;
    string->fText = text;
    return string;
}

const char* OSString::getCStringNoCopy() const
{
    return fText.c_str();
}

size_t OSString::getLength() const
{
    return fText.size();
}

bool OSString::isEqualTo(const char* text) const
{
    return text != nullptr && fText == text;
}

OSNumber* OSNumber::withNumber(uint64_t value, size_t numberOfBits)
{
    auto* number = new OSNumber;
    number->fBits = numberOfBits == 8 || numberOfBits == 16 || numberOfBits == 32 ? numberOfBits : 64;
    number->fValue = number->fBits == 64 ? value : value & ((uint64_t(1) << number->fBits) - 1);
    return number;
}

uint64_t OSNumber::unsigned64BitValue() const
{
    return fValue;
}

uint32_t OSNumber::unsigned32BitValue() const
{
    return uint32_t(fValue);
}

uint16_t OSNumber::unsigned16BitValue() const
{
    return uint16_t(fValue);
}

uint8_t OSNumber::unsigned8BitValue() const
{
    return uint8_t(fValue);
}

size_t OSNumber::numberOfBits() const
{
    return fBits;
}

namespace {

// The two booleans are never released to zero.
class StaticBoolean : public OSBoolean
{
public:
    explicit StaticBoolean(bool value) : OSBoolean(value) { retain(); }
};

StaticBoolean gTrue(true);
StaticBoolean gFalse(false);

} // namespace

OSBoolean* const kOSBooleanTrue = &gTrue;
OSBoolean* const kOSBooleanFalse = &gFalse;

OSBoolean* OSBoolean::withBoolean(bool value)
{
    OSBoolean* boolean = value ? kOSBooleanTrue : kOSBooleanFalse;
    boolean->retain();
    return boolean;
}

OSArray* OSArray::withCapacity(uint32_t capacity)
{
    if (DriverKitPlatform::creationFails()) {
        return nullptr;
    }
    auto* array = new OSArray;
    array->fObjects.reserve(capacity);
    return array;
}

bool OSArray::setObject(const OSObject* object)
{
    if (object == nullptr) {
        return false;
    }
    object->retain();
    fObjects.push_back(object);
    return true;
}

uint32_t OSArray::getCount() const
{
    return uint32_t(fObjects.size());
}

OSObject* OSArray::getObject(uint32_t index) const
{
    return index < fObjects.size() ? const_cast<OSObject*>(fObjects[index]) : nullptr;
}

void OSArray::free()
{
    for (const OSObject* object : fObjects) {
        object->release();
    }
    fObjects.clear();
    OSObject::free();
}

OSDictionary* OSDictionary::withCapacity(uint32_t capacity)
{
    if (DriverKitPlatform::creationFails()) {
        return nullptr;
    }
    auto* dictionary = new OSDictionary;
    dictionary->fEntries.reserve(capacity);
    return dictionary;
}

bool OSDictionary::setObject(const OSString* key, const OSObject* object)
{
    return key != nullptr && setObject(key->getCStringNoCopy(), object);
}

bool OSDictionary::setObject(const char* key, const OSObject* object)
{
    if (key == nullptr || object == nullptr) {
        return false;
    }
    object->retain();
    for (auto& [name, value] : fEntries) {
        if (name == key) {
            value->release();
            value = object;
            return true;
        }
    }
    fEntries.emplace_back(key, object);
    return true;
}

OSObject* OSDictionary::getObject(const OSString* key) const
{
    return key == nullptr ? nullptr : getObject(key->getCStringNoCopy());
}

OSObject* OSDictionary::getObject(const char* key) const
{
    if (key == nullptr) {
        return nullptr;
    }
    for (const auto& [name, value] : fEntries) {
        if (name == key) {
            return const_cast<OSObject*>(value);
        }
    }
    return nullptr;
}

uint32_t OSDictionary::getCount() const
{
    return uint32_t(fEntries.size());
}

void OSDictionary::iterateObjects(const std::function<bool(const char* key, OSObject* object)>& visit) const
{
    for (const auto& [name, value] : fEntries) {
        if (visit(name.c_str(), const_cast<OSObject*>(value))) {
            return;
        }
    }
}

void OSDictionary::free()
{
    for (const auto& entry : fEntries) {
        entry.second->release();
    }
    fEntries.clear();
    OSObject::free();
}
