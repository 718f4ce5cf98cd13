#include <libkern/c++/OSObject.h>

#include <IOKit/IOLib.h>

#include <cstdlib>

const OSMetaClass OSObject::gMetaClass("OSObject", nullptr, nullptr);

const OSMetaClass* OSObject::getMetaClass() const
{
    return &gMetaClass;
}

OSObject::OSObject()
{
    gMetaClass.instanceConstructed();
}

OSObject::~OSObject()
{
    gMetaClass.instanceDestructed();
}

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

void OSObject::release() const
{
    const int32_t before = fRetainCount.fetch_sub(1, std::memory_order_acq_rel);
    if (before <= 0) {
        IOLog("OSObject::release: over-release of %s\n", getMetaClass()->getClassName());
        std::abort();
    }
    if (before == 1) {
        const_cast<OSObject*>(this)->free();
    }
}

int OSObject::getRetainCount() const
{
    return fRetainCount.load(std::memory_order_relaxed);
}
