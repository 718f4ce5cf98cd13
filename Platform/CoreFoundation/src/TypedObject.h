#pragma once

// The checked step from a CF reference to the object of the type a call expects.

#include <CFPlatform/Object.h>

namespace CFPlatform {

// Ends the process with a message naming `call`: `cf` is NULL or not of the type `expected`.
[[noreturn]] void wrongObject(CFTypeRef cf, const char* call, CFTypeID expected);
[[noreturn]] void immutableObject(const char* call);

// The object behind `cf` as a T; ends the process with a message naming `call` when `cf` is NULL
// or of another type, as the platform traps such programming errors.
template <typename T>
const T& objectAs(CFTypeRef cf, const char* call)
{
    const T* object = as<T>(cf);
    if (!object) {
        wrongObject(cf, call, T::staticTypeID());
    }
    return *object;
}

// The same for a call that changes the object: an immutable one ends the process too.
template <typename T>
T& mutableObjectAs(CFTypeRef cf, const char* call)
{
    const T& object = objectAs<T>(cf, call);
    if (!object.isMutable()) {
        immutableObject(call);
    }
    return const_cast<T&>(object);
}

} // namespace CFPlatform
