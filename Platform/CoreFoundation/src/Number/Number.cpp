#include "Number/NumberConversion.h"
#include "Number/NumberObject.h"
#include "TypedObject.h"

#include <cstring>

using CFPlatform::NumberObject;

namespace {

template <typename T>
T read(const void* valuePtr)
{
    T value;
    std::memcpy(&value, valuePtr, sizeof value);
    return value;
}

CFNumberRef refOf(const NumberObject* number)
{
    return reinterpret_cast<CFNumberRef>(static_cast<const CFPlatform::Object*>(number));
}

} // namespace

CFTypeID CFNumberGetTypeID(void)
{
    return NumberObject::staticTypeID();
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr)
{
    std::optional<CFNumberType> type = CFPlatform::canonicalNumberType(theType);
    if (!type || !valuePtr) {
        return nullptr;
    }
    switch (*type) {
    case kCFNumberSInt8Type:
        return refOf(new NumberObject(*type, int64_t{read<int8_t>(valuePtr)}));
    case kCFNumberSInt16Type:
        return refOf(new NumberObject(*type, int64_t{read<int16_t>(valuePtr)}));
    case kCFNumberSInt32Type:
        return refOf(new NumberObject(*type, int64_t{read<int32_t>(valuePtr)}));
    case kCFNumberSInt64Type:
        return refOf(new NumberObject(*type, read<int64_t>(valuePtr)));
    case kCFNumberFloat32Type:
        return refOf(new NumberObject(*type, double{read<float>(valuePtr)}));
    default:
        return refOf(new NumberObject(*type, read<double>(valuePtr)));
    }
}

CFNumberType CFNumberGetType(CFNumberRef number)
{
    return CFPlatform::objectAs<NumberObject>(number, "CFNumberGetType").type();
}

CFIndex CFNumberGetByteSize(CFNumberRef number)
{
    switch (CFPlatform::objectAs<NumberObject>(number, "CFNumberGetByteSize").type()) {
    case kCFNumberSInt8Type:
        return 1;
    case kCFNumberSInt16Type:
        return 2;
    case kCFNumberSInt32Type:
    case kCFNumberFloat32Type:
        return 4;
    default:
        return 8;
    }
}

Boolean CFNumberIsFloatType(CFNumberRef number)
{
    return CFPlatform::objectAs<NumberObject>(number, "CFNumberIsFloatType").isFloat();
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr)
{
    const NumberObject& object = CFPlatform::objectAs<NumberObject>(number, "CFNumberGetValue");
    std::optional<CFNumberType> type = CFPlatform::canonicalNumberType(theType);
    if (!type || !valuePtr) {
        return false;
    }
    return object.isFloat() ? CFPlatform::storeDouble(object.floating(), *type, valuePtr)
                            : CFPlatform::storeInteger(object.integer(), *type, valuePtr);
}

CFComparisonResult CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void*)
{
    return CFPlatform::objectAs<NumberObject>(number, "CFNumberCompare")
        .compare(CFPlatform::objectAs<NumberObject>(otherNumber, "CFNumberCompare"));
}
