#include "TypedObject.h"
#include <CFPlatform/Object.h>
#include <CoreFoundation/CFNumber.h>

namespace {

class BooleanObject final : public CFPlatform::Object
{
public:
    explicit BooleanObject(bool value) : fValue(value) { makeImmortal(); }

    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = CFPlatform::registerType("CFBoolean");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }
    // The two values are the only booleans, so identity is equality.
    CFHashCode hash() const override { return fValue; }

    bool value() const { return fValue; }

    CFBooleanRef ref() const { return reinterpret_cast<CFBooleanRef>(static_cast<const Object*>(this)); }

private:
    bool fValue;
};

} // namespace

const CFBooleanRef kCFBooleanTrue = (new BooleanObject(true))->ref();
const CFBooleanRef kCFBooleanFalse = (new BooleanObject(false))->ref();

CFTypeID CFBooleanGetTypeID(void)
{
    return BooleanObject::staticTypeID();
}

Boolean CFBooleanGetValue(CFBooleanRef boolean)
{
    return CFPlatform::objectAs<BooleanObject>(boolean, "CFBooleanGetValue").value();
}
