#include "PropertyConversion.h"
#include "RegistryAccess.h"

#include <libkern/c++/OSArray.h>
#include <libkern/c++/OSBoolean.h>
#include <libkern/c++/OSNumber.h>
#include <libkern/c++/OSString.h>

#include <mutex>
#include <string>
#include <vector>

OSDefineMetaClassAndStructors(IORegistryEntry, OSObject)
#define super OSObject

    inline namespace kernel
{

    struct IORegistryPlane
    {
        const char* fName;
    };

    namespace {
    const IORegistryPlane servicePlane{"IOService"};
    }

    const IORegistryPlane* const gIOServicePlane = &servicePlane;

    struct IORegistryEntryState
    {
        std::shared_ptr<IOKitPlatform::RegistryEntry> fPlatform;
        mutable std::mutex fMutex;
        // Kernel objects of the properties read or set so far.
        OSDictionary* fProperties = nullptr;
        IORegistryEntry* fParent = nullptr;
        std::vector<IORegistryEntry*> fChildren;
    };

} // namespace kernel

namespace {

// The class names from the object's class up to IOService, or up to IORegistryEntry for an entry
// that is no service.
std::vector<std::string> classChainOf(const OSObject* object)
{
    std::vector<std::string> chain;
    for (const OSMetaClass* metaClass = object->getMetaClass(); metaClass;
         metaClass = metaClass->getSuperClass()) {
        chain.emplace_back(metaClass->getClassName());
        if (chain.back() == "IOService" || chain.back() == "IORegistryEntry") {
            break;
        }
    }
    return chain;
}

CFStringRef createKey(const char* key)
{
    return CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
}

} // namespace

bool IORegistryEntry::init(OSDictionary* dictionary)
{
    if (fRegistryState || !super::init()) {
        return false;
    }
    CFTypeRef properties = dictionary ? KernelIOKitPlatform::createCFValue(dictionary) : nullptr;
    auto platform = IOKitPlatform::RegistryEntry::create(classChainOf(this), {},
                                                         static_cast<CFDictionaryRef>(properties));
    if (properties) {
        CFRelease(properties);
    }
    return IORegistryEntryAccess::initWithPlatformEntry(this, std::move(platform));
}

void IORegistryEntry::free()
{
    if (fRegistryState) {
        OSSafeReleaseNULL(fRegistryState->fProperties);
        delete fRegistryState;
        fRegistryState = nullptr;
    }
    super::free();
}

OSObject* IORegistryEntry::getProperty(const char* key) const
{
    if (!key || !fRegistryState) {
        return nullptr;
    }
    std::lock_guard lock(fRegistryState->fMutex);
    if (OSObject* known = fRegistryState->fProperties->getObject(key)) {
        return known;
    }
    CFStringRef cfKey = createKey(key);
    CFTypeRef value = fRegistryState->fPlatform->copyProperty(cfKey);
    CFRelease(cfKey);
    OSObject* object = KernelIOKitPlatform::createOSValue(value);
    if (value) {
        CFRelease(value);
    }
    if (!object) {
        return nullptr;
    }
    fRegistryState->fProperties->setObject(key, object);
    object->release();
    return object;
}

bool IORegistryEntry::setProperty(const char* key, OSObject* value)
{
    if (!key || !value || !fRegistryState) {
        return false;
    }
    CFTypeRef cfValue = KernelIOKitPlatform::createCFValue(value);
    if (!cfValue) {
        return false;
    }
    CFStringRef cfKey = createKey(key);
    std::lock_guard lock(fRegistryState->fMutex);
    const bool stored = fRegistryState->fPlatform->setProperty(cfKey, cfValue);
    if (stored) {
        fRegistryState->fProperties->setObject(key, value);
    }
    CFRelease(cfKey);
    CFRelease(cfValue);
    return stored;
}

bool IORegistryEntry::setProperty(const char* key, const char* value)
{
    OSString* string = OSString::withCString(value);
    const bool stored = string && setProperty(key, string);
    OSSafeReleaseNULL(string);
    return stored;
}

bool IORegistryEntry::setProperty(const char* key, unsigned long long value, unsigned int numberOfBits)
{
    OSNumber* number = OSNumber::withNumber(value, numberOfBits);
    const bool stored = number && setProperty(key, number);
    OSSafeReleaseNULL(number);
    return stored;
}

bool IORegistryEntry::setProperty(const char* key, bool value)
{
    return setProperty(key, OSBoolean::withBoolean(value));
}

void IORegistryEntry::removeProperty(const char* key)
{
    if (!key || !fRegistryState) {
        return;
    }
    CFStringRef cfKey = createKey(key);
    std::lock_guard lock(fRegistryState->fMutex);
    fRegistryState->fPlatform->removeProperty(cfKey);
    fRegistryState->fProperties->removeObject(key);
    CFRelease(cfKey);
}

const char* IORegistryEntry::getName(const IORegistryPlane*) const
{
    return fRegistryState ? fRegistryState->fPlatform->name().c_str() : getMetaClass()->getClassName();
}

IORegistryEntry* IORegistryEntry::getParentEntry(const IORegistryPlane*) const
{
    if (!fRegistryState) {
        return nullptr;
    }
    std::lock_guard lock(fRegistryState->fMutex);
    return fRegistryState->fParent;
}

OSIterator* IORegistryEntry::getChildIterator(const IORegistryPlane*) const
{
    const std::vector<IORegistryEntry*> children = IORegistryEntryAccess::copyChildren(this);
    OSArray* array = OSArray::withCapacity(unsigned(children.size()));
    for (IORegistryEntry* child : children) {
        array->setObject(child);
        child->release();
    }
    OSIterator* iterator = OSCollectionIterator::withCollection(array);
    array->release();
    return iterator;
}

bool IORegistryEntry::attachToParent(IORegistryEntry* parent, const IORegistryPlane*)
{
    if (!IORegistryEntryAccess::linkToParent(this, parent)) {
        return false;
    }
    fRegistryState->fPlatform->attachToParent(parent->fRegistryState->fPlatform);
    return true;
}

void IORegistryEntry::detachFromParent(IORegistryEntry* parent, const IORegistryPlane*)
{
    if (!parent || !fRegistryState || !parent->fRegistryState) {
        return;
    }
    {
        std::lock_guard lock(fRegistryState->fMutex);
        if (fRegistryState->fParent != parent) {
            return;
        }
        fRegistryState->fParent = nullptr;
    }
    bool wasChild = false;
    {
        std::lock_guard lock(parent->fRegistryState->fMutex);
        wasChild = std::erase(parent->fRegistryState->fChildren, this) != 0;
    }
    if (wasChild) {
        release();
    }
    parent->release();
}

std::shared_ptr<IOKitPlatform::RegistryEntry>
IORegistryEntryAccess::platformEntry(const IORegistryEntry* entry)
{
    return entry && entry->fRegistryState ? entry->fRegistryState->fPlatform : nullptr;
}

bool IORegistryEntryAccess::initWithPlatformEntry(IORegistryEntry* entry,
                                                  std::shared_ptr<IOKitPlatform::RegistryEntry> platform)
{
    if (entry->fRegistryState || !platform) {
        return false;
    }
    OSDictionary* properties = OSDictionary::withCapacity(8);
    if (!properties) {
        return false;
    }
    entry->fRegistryState = new IORegistryEntryState;
    entry->fRegistryState->fPlatform = std::move(platform);
    entry->fRegistryState->fProperties = properties;
    return true;
}

bool IORegistryEntryAccess::linkToParent(IORegistryEntry* entry, IORegistryEntry* parent)
{
    if (!parent || parent == entry || !entry->fRegistryState || !parent->fRegistryState) {
        return false;
    }
    {
        std::lock_guard lock(entry->fRegistryState->fMutex);
        if (entry->fRegistryState->fParent) {
            return false;
        }
        parent->retain();
        entry->fRegistryState->fParent = parent;
    }
    std::lock_guard lock(parent->fRegistryState->fMutex);
    entry->retain();
    parent->fRegistryState->fChildren.push_back(entry);
    return true;
}

std::vector<IORegistryEntry*> IORegistryEntryAccess::copyChildren(const IORegistryEntry* entry)
{
    std::vector<IORegistryEntry*> children;
    if (!entry || !entry->fRegistryState) {
        return children;
    }
    std::lock_guard lock(entry->fRegistryState->fMutex);
    children = entry->fRegistryState->fChildren;
    for (IORegistryEntry* child : children) {
        child->retain();
    }
    return children;
}
