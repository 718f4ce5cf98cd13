#pragma once

#include <xpc/xpc.h>

#include <atomic>
#include <cstdint>

struct xpc_type_s
{
    const char* fName;
};

namespace XPC {

// The root of every XPC object. Objects are handed out as xpc_object_t, the address of this base;
// every subclass derives from it alone, so the address of the whole object is the same.
class Object
{
public:
    explicit Object(xpc_type_t type, bool immortal = false);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    static Object* from(xpc_object_t object) { return static_cast<Object*>(object); }
    xpc_object_t handle() { return static_cast<xpc_object_t>(this); }

    xpc_type_t type() const { return fType; }
    void retain();
    void release();

    // What a message carries in place of this object: a copy of a container, anything else itself.
    // Either way with a reference for the caller.
    virtual Object* copyForMessage();

private:
    bool countsAsValue() const;

    const xpc_type_t fType;
    const bool fImmortal;
    std::atomic<intptr_t> fReferences{1};
};

// The object if it has `type`, else null.
template <typename T>
T* objectOf(xpc_object_t object, xpc_type_t type)
{
    Object* found = Object::from(object);
    return found != nullptr && found->type() == type ? static_cast<T*>(found) : nullptr;
}

// Values, dictionaries and arrays alive now; connections and the error singletons are not counted.
size_t liveValueCount();

} // namespace XPC
