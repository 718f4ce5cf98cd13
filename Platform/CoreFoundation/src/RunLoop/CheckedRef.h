#pragma once

#include <CFPlatform/Object.h>

namespace CFPlatform {

// The object behind a reference the caller must pass: a NULL or a reference of another type is a
// programming error that ends the process with a message naming the call.
template <typename T>
T& checkedRef(const void* ref, const char* call)
{
    const T* object = as<T>(ref);
    if (!object) {
        fatal(call, ref ? "argument of the wrong type" : "NULL argument");
    }
    return const_cast<T&>(*object);
}

// The reference a CF function hands out for one of this layer's objects.
template <typename Ref, typename T>
Ref refOf(T& object)
{
    return reinterpret_cast<Ref>(static_cast<Object*>(&object));
}

} // namespace CFPlatform
