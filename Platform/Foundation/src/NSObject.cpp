#include <Foundation/NSObject.h>

namespace NS {

Object::~Object() = default;

Object* Object::retain()
{
    fRetainCount.fetch_add(1, std::memory_order_relaxed);
    return this;
}

void Object::release()
{
    if (fRetainCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

unsigned long Object::retainCount() const
{
    return fRetainCount.load(std::memory_order_relaxed);
}

} // namespace NS
