#include "TypedObject.h"
#include <CFPlatform/Object.h>
#include <CoreFoundation/CFArray.h>

#include <vector>

namespace {

const void* retainType(CFAllocatorRef, const void* value)
{
    return CFRetain(value);
}

void releaseType(CFAllocatorRef, const void* value)
{
    CFRelease(value);
}

// NULL callbacks keep values as plain pointers: no retain, equality by identity.
class ArrayObject final : public CFPlatform::Object
{
public:
    ArrayObject(const CFArrayCallBacks* callBacks, bool isMutable)
        : fCallBacks(callBacks ? *callBacks : CFArrayCallBacks{}), fMutable(isMutable)
    {}
    ~ArrayObject() override
    {
        for (const void* value : fValues) {
            releaseValue(value);
        }
    }

    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = CFPlatform::registerType("CFArray");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }
    bool equals(const Object& other) const override
    {
        auto& array = static_cast<const ArrayObject&>(other);
        if (fValues.size() != array.fValues.size()) {
            return false;
        }
        for (size_t i = 0; i < fValues.size(); ++i) {
            if (!valuesEqual(fValues[i], array.fValues[i])) {
                return false;
            }
        }
        return true;
    }
    CFHashCode hash() const override { return fValues.size(); }

    const CFArrayCallBacks& callBacks() const { return fCallBacks; }
    const std::vector<const void*>& values() const { return fValues; }
    bool isMutable() const { return fMutable; }

    bool valuesEqual(const void* a, const void* b) const
    {
        return a == b || (fCallBacks.equal && fCallBacks.equal(a, b));
    }
    void insert(size_t index, const void* value)
    {
        fValues.insert(fValues.begin() + static_cast<std::ptrdiff_t>(index), retainValue(value));
    }
    void remove(size_t index)
    {
        const void* value = fValues[index];
        fValues.erase(fValues.begin() + static_cast<std::ptrdiff_t>(index));
        releaseValue(value);
    }
    void removeAll()
    {
        std::vector<const void*> values;
        values.swap(fValues);
        for (const void* value : values) {
            releaseValue(value);
        }
    }

    CFArrayRef ref() const { return reinterpret_cast<CFArrayRef>(static_cast<const Object*>(this)); }
    CFMutableArrayRef mutableRef() { return reinterpret_cast<CFMutableArrayRef>(static_cast<Object*>(this)); }

private:
    const void* retainValue(const void* value) const
    {
        return fCallBacks.retain ? fCallBacks.retain(nullptr, value) : value;
    }
    void releaseValue(const void* value) const
    {
        if (fCallBacks.release) {
            fCallBacks.release(nullptr, value);
        }
    }

    CFArrayCallBacks fCallBacks;
    bool fMutable;
    std::vector<const void*> fValues;
};

// Ends the process when `index` is not below `limit`.
size_t checkedIndex(CFIndex index, size_t limit, const char* call)
{
    if (index < 0 || static_cast<size_t>(index) >= limit) {
        CFPlatform::fatal(call, "index outside the array");
    }
    return static_cast<size_t>(index);
}

ArrayObject* copyOf(const ArrayObject& array, bool isMutable)
{
    auto* copy = new ArrayObject(&array.callBacks(), isMutable);
    for (const void* value : array.values()) {
        copy->insert(copy->values().size(), value);
    }
    return copy;
}

} // namespace

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, retainType, releaseType, nullptr, CFEqual};

CFTypeID CFArrayGetTypeID(void)
{
    return ArrayObject::staticTypeID();
}

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks)
{
    if (numValues < 0 || (!values && numValues > 0)) {
        return nullptr;
    }
    auto* array = new ArrayObject(callBacks, false);
    for (CFIndex i = 0; i < numValues; ++i) {
        array->insert(static_cast<size_t>(i), values[i]);
    }
    return array->ref();
}

CFArrayRef CFArrayCreateCopy(CFAllocatorRef, CFArrayRef theArray)
{
    const ArrayObject& array = CFPlatform::objectAs<ArrayObject>(theArray, "CFArrayCreateCopy");
    if (!array.isMutable()) {
        return static_cast<CFArrayRef>(CFRetain(theArray));
    }
    return copyOf(array, false)->ref();
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex, const CFArrayCallBacks* callBacks)
{
    return (new ArrayObject(callBacks, true))->mutableRef();
}

CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef, CFIndex, CFArrayRef theArray)
{
    return copyOf(CFPlatform::objectAs<ArrayObject>(theArray, "CFArrayCreateMutableCopy"), true)
        ->mutableRef();
}

CFIndex CFArrayGetCount(CFArrayRef theArray)
{
    return static_cast<CFIndex>(
        CFPlatform::objectAs<ArrayObject>(theArray, "CFArrayGetCount").values().size());
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx)
{
    const ArrayObject& array = CFPlatform::objectAs<ArrayObject>(theArray, "CFArrayGetValueAtIndex");
    return array.values()[checkedIndex(idx, array.values().size(), "CFArrayGetValueAtIndex")];
}

Boolean CFArrayContainsValue(CFArrayRef theArray, CFRange range, const void* value)
{
    const ArrayObject& array = CFPlatform::objectAs<ArrayObject>(theArray, "CFArrayContainsValue");
    const std::vector<const void*>& values = array.values();
    if (range.location < 0 || range.length < 0 ||
        range.location > static_cast<CFIndex>(values.size()) - range.length) {
        CFPlatform::fatal("CFArrayContainsValue", "range outside the array");
    }
    for (CFIndex i = range.location; i < range.location + range.length; ++i) {
        if (array.valuesEqual(values[static_cast<size_t>(i)], value)) {
            return true;
        }
    }
    return false;
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value)
{
    ArrayObject& array = CFPlatform::mutableObjectAs<ArrayObject>(theArray, "CFArrayAppendValue");
    array.insert(array.values().size(), value);
}

void CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value)
{
    ArrayObject& array = CFPlatform::mutableObjectAs<ArrayObject>(theArray, "CFArrayInsertValueAtIndex");
    array.insert(checkedIndex(idx, array.values().size() + 1, "CFArrayInsertValueAtIndex"), value);
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx)
{
    ArrayObject& array = CFPlatform::mutableObjectAs<ArrayObject>(theArray, "CFArrayRemoveValueAtIndex");
    array.remove(checkedIndex(idx, array.values().size(), "CFArrayRemoveValueAtIndex"));
}

void CFArrayRemoveAllValues(CFMutableArrayRef theArray)
{
    CFPlatform::mutableObjectAs<ArrayObject>(theArray, "CFArrayRemoveAllValues").removeAll();
}
