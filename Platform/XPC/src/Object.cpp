#include "Object.h"

namespace XPC {

namespace {

std::atomic<size_t> gLiveValues{0};

} // namespace

Object::Object(xpc_type_t type, bool immortal) : fType(type), fImmortal(immortal)
{
    if (countsAsValue()) {
        gLiveValues.fetch_add(1, std::memory_order_relaxed);
    }
}

Object::~Object()
{
    if (countsAsValue()) {
        gLiveValues.fetch_sub(1, std::memory_order_relaxed);
    }
}

bool Object::countsAsValue() const
{
    return !fImmortal && fType != XPC_TYPE_CONNECTION;
}

void Object::retain()
{
    if (!fImmortal) {
        fReferences.fetch_add(1, std::memory_order_relaxed);
    }
}

void Object::release()
{
    if (!fImmortal && fReferences.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

Object* Object::copyForMessage()
{
    retain();
    return this;
}

size_t liveValueCount()
{
    return gLiveValues.load(std::memory_order_relaxed);
}

} // namespace XPC

const xpc_type_s XPCPlatform::gTypeDictionary{"dictionary"};
const xpc_type_s XPCPlatform::gTypeUInt64{"uint64"};
const xpc_type_s XPCPlatform::gTypeInt64{"int64"};
const xpc_type_s XPCPlatform::gTypeString{"string"};
const xpc_type_s XPCPlatform::gTypeBool{"bool"};
const xpc_type_s XPCPlatform::gTypeArray{"array"};
const xpc_type_s XPCPlatform::gTypeData{"data"};
const xpc_type_s XPCPlatform::gTypeConnection{"connection"};
const xpc_type_s XPCPlatform::gTypeError{"error"};

xpc_object_t xpc_retain(xpc_object_t object)
{
    if (object != nullptr) {
        XPC::Object::from(object)->retain();
    }
    return object;
}

void xpc_release(xpc_object_t object)
{
    if (object != nullptr) {
        XPC::Object::from(object)->release();
    }
}

xpc_type_t xpc_get_type(xpc_object_t object)
{
    return object != nullptr ? XPC::Object::from(object)->type() : nullptr;
}

const char* xpc_type_get_name(xpc_type_t type)
{
    return type != nullptr ? type->fName : nullptr;
}
