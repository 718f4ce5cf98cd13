#include "TypedObject.h"
#include <CFPlatform/Object.h>
#include <CoreFoundation/CFDate.h>

#include <functional>

namespace {

class DateObject final : public CFPlatform::Object
{
public:
    explicit DateObject(CFAbsoluteTime time) : fTime(time) {}

    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = CFPlatform::registerType("CFDate");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }
    bool equals(const Object& other) const override
    {
        return fTime == static_cast<const DateObject&>(other).fTime;
    }
    CFHashCode hash() const override { return std::hash<double>()(fTime); }

    CFAbsoluteTime time() const { return fTime; }

private:
    CFAbsoluteTime fTime;
};

} // namespace

CFTypeID CFDateGetTypeID(void)
{
    return DateObject::staticTypeID();
}

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at)
{
    return reinterpret_cast<CFDateRef>(static_cast<const CFPlatform::Object*>(new DateObject(at)));
}

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate)
{
    return CFPlatform::objectAs<DateObject>(theDate, "CFDateGetAbsoluteTime").time();
}
