#include "Collections/KeyTable.h"
#include "TypedObject.h"

#include <CFPlatform/Object.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFString.h>

namespace {

const void* retainType(CFAllocatorRef, const void* value)
{
    return CFRetain(value);
}

const void* copyString(CFAllocatorRef allocator, const void* value)
{
    return CFStringCreateCopy(allocator, static_cast<CFStringRef>(value));
}

void releaseType(CFAllocatorRef, const void* value)
{
    CFRelease(value);
}

// NULL callbacks keep keys and values as plain pointers: no retain, equality by identity.
class DictionaryObject final : public CFPlatform::Object
{
public:
    DictionaryObject(const CFDictionaryKeyCallBacks* keyCallBacks,
                     const CFDictionaryValueCallBacks* valueCallBacks, bool isMutable)
        : fKeyCallBacks(keyCallBacks ? *keyCallBacks : CFDictionaryKeyCallBacks{}),
          fValueCallBacks(valueCallBacks ? *valueCallBacks : CFDictionaryValueCallBacks{}),
          fTable(fKeyCallBacks.hash, fKeyCallBacks.equal), fMutable(isMutable)
    {}
    ~DictionaryObject() override { removeAll(); }

    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = CFPlatform::registerType("CFDictionary");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }
    bool equals(const Object& other) const override
    {
        auto& dictionary = static_cast<const DictionaryObject&>(other);
        if (count() != dictionary.count()) {
            return false;
        }
        for (const CFPlatform::KeyTable::Entry& entry : fTable.slots()) {
            if (!entry.used) {
                continue;
            }
            const CFPlatform::KeyTable::Entry* found = dictionary.find(entry.key);
            if (!found || !valuesEqual(entry.value, found->value)) {
                return false;
            }
        }
        return true;
    }
    CFHashCode hash() const override { return count(); }

    size_t count() const { return fTable.count(); }
    bool isMutable() const { return fMutable; }
    const CFDictionaryKeyCallBacks& keyCallBacks() const { return fKeyCallBacks; }
    const CFDictionaryValueCallBacks& valueCallBacks() const { return fValueCallBacks; }
    const CFPlatform::KeyTable& table() const { return fTable; }

    const CFPlatform::KeyTable::Entry* find(const void* key) const
    {
        return fTable.find(key, fTable.hashOf(key));
    }

    // Adds the pair, or with `replace` gives an existing key the new value.
    void set(const void* key, const void* value, bool replace)
    {
        CFHashCode hash = fTable.hashOf(key);
        CFPlatform::KeyTable::Entry* entry = fTable.find(key, hash);
        if (!entry) {
            fTable.insert(retain(fKeyCallBacks.retain, key), retain(fValueCallBacks.retain, value), hash);
            return;
        }
        if (replace) {
            const void* old = entry->value;
            entry->value = retain(fValueCallBacks.retain, value);
            release(fValueCallBacks.release, old);
        }
    }
    void remove(const void* key)
    {
        CFPlatform::KeyTable::Entry* entry = fTable.find(key, fTable.hashOf(key));
        if (!entry) {
            return;
        }
        CFPlatform::KeyTable::Entry removed = *entry;
        fTable.erase(entry);
        release(fKeyCallBacks.release, removed.key);
        release(fValueCallBacks.release, removed.value);
    }
    void removeAll()
    {
        // Releases run after the table is emptied: a release may free objects that look here.
        std::vector<CFPlatform::KeyTable::Entry> entries = fTable.slots();
        fTable.clear();
        for (const CFPlatform::KeyTable::Entry& entry : entries) {
            if (entry.used) {
                release(fKeyCallBacks.release, entry.key);
                release(fValueCallBacks.release, entry.value);
            }
        }
    }

    CFDictionaryRef ref() const
    {
        return reinterpret_cast<CFDictionaryRef>(static_cast<const Object*>(this));
    }
    CFMutableDictionaryRef mutableRef()
    {
        return reinterpret_cast<CFMutableDictionaryRef>(static_cast<Object*>(this));
    }

private:
    static const void* retain(CFDictionaryRetainCallBack callBack, const void* value)
    {
        return callBack ? callBack(nullptr, value) : value;
    }
    static void release(CFDictionaryReleaseCallBack callBack, const void* value)
    {
        if (callBack) {
            callBack(nullptr, value);
        }
    }
    bool valuesEqual(const void* a, const void* b) const
    {
        return a == b || (fValueCallBacks.equal && fValueCallBacks.equal(a, b));
    }

    CFDictionaryKeyCallBacks fKeyCallBacks;
    CFDictionaryValueCallBacks fValueCallBacks;
    CFPlatform::KeyTable fTable;
    bool fMutable;
};

DictionaryObject* copyOf(const DictionaryObject& dictionary, bool isMutable)
{
    auto* copy = new DictionaryObject(&dictionary.keyCallBacks(), &dictionary.valueCallBacks(), isMutable);
    for (const CFPlatform::KeyTable::Entry& entry : dictionary.table().slots()) {
        if (entry.used) {
            copy->set(entry.key, entry.value, false);
        }
    }
    return copy;
}

} // namespace

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0,       retainType, releaseType,
                                                                nullptr, CFEqual,    CFHash};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {0,       copyString, releaseType,
                                                                      nullptr, CFEqual,    CFHash};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, retainType, releaseType, nullptr,
                                                                    CFEqual};

CFTypeID CFDictionaryGetTypeID(void)
{
    return DictionaryObject::staticTypeID();
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values, CFIndex numValues,
                                   const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks)
{
    if (numValues < 0 || ((!keys || !values) && numValues > 0)) {
        return nullptr;
    }
    auto* dictionary = new DictionaryObject(keyCallBacks, valueCallBacks, false);
    for (CFIndex i = 0; i < numValues; ++i) {
        dictionary->set(keys[i], values[i], true);
    }
    return dictionary->ref();
}

CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef, CFDictionaryRef theDict)
{
    const DictionaryObject& dictionary =
        CFPlatform::objectAs<DictionaryObject>(theDict, "CFDictionaryCreateCopy");
    if (!dictionary.isMutable()) {
        return static_cast<CFDictionaryRef>(CFRetain(theDict));
    }
    return copyOf(dictionary, false)->ref();
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks)
{
    return (new DictionaryObject(keyCallBacks, valueCallBacks, true))->mutableRef();
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef, CFIndex, CFDictionaryRef theDict)
{
    return copyOf(CFPlatform::objectAs<DictionaryObject>(theDict, "CFDictionaryCreateMutableCopy"), true)
        ->mutableRef();
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict)
{
    return static_cast<CFIndex>(
        CFPlatform::objectAs<DictionaryObject>(theDict, "CFDictionaryGetCount").count());
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key)
{
    const CFPlatform::KeyTable::Entry* entry =
        CFPlatform::objectAs<DictionaryObject>(theDict, "CFDictionaryGetValue").find(key);
    return entry ? entry->value : nullptr;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void* key, const void** value)
{
    const CFPlatform::KeyTable::Entry* entry =
        CFPlatform::objectAs<DictionaryObject>(theDict, "CFDictionaryGetValueIfPresent").find(key);
    if (entry && value) {
        *value = entry->value;
    }
    return entry != nullptr;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key)
{
    return CFPlatform::objectAs<DictionaryObject>(theDict, "CFDictionaryContainsKey").find(key) != nullptr;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values)
{
    size_t i = 0;
    for (const CFPlatform::KeyTable::Entry& entry :
         CFPlatform::objectAs<DictionaryObject>(theDict, "CFDictionaryGetKeysAndValues").table().slots()) {
        if (!entry.used) {
            continue;
        }
        if (keys) {
            keys[i] = entry.key;
        }
        if (values) {
            values[i] = entry.value;
        }
        ++i;
    }
}

void CFDictionaryApplyFunction(CFDictionaryRef theDict, CFDictionaryApplierFunction applier, void* context)
{
    for (const CFPlatform::KeyTable::Entry& entry :
         CFPlatform::objectAs<DictionaryObject>(theDict, "CFDictionaryApplyFunction").table().slots()) {
        if (entry.used) {
            applier(entry.key, entry.value, context);
        }
    }
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value)
{
    CFPlatform::mutableObjectAs<DictionaryObject>(theDict, "CFDictionarySetValue").set(key, value, true);
}

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key, const void* value)
{
    CFPlatform::mutableObjectAs<DictionaryObject>(theDict, "CFDictionaryAddValue").set(key, value, false);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key)
{
    CFPlatform::mutableObjectAs<DictionaryObject>(theDict, "CFDictionaryRemoveValue").remove(key);
}

void CFDictionaryRemoveAllValues(CFMutableDictionaryRef theDict)
{
    CFPlatform::mutableObjectAs<DictionaryObject>(theDict, "CFDictionaryRemoveAllValues").removeAll();
}
