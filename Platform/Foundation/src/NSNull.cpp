#include <Foundation/NSValue.h>

#include <CFPlatform/Object.h>

namespace NS {

namespace {

class NullObject : public CFPlatform::Object
{
public:
    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = CFPlatform::registerType("NSNull");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }
};

} // namespace

CFTypeRef Null::null()
{
    static const NullObject* object = [] {
        auto* made = new NullObject;
        made->makeImmortal();
        return made;
    }();
    return object;
}

CFTypeID Null::typeID()
{
    return NullObject::staticTypeID();
}

} // namespace NS
