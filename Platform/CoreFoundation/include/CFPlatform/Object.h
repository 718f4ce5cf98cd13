#pragma once

// The base of every CoreFoundation object of the Platform layers. CoreFoundation's own types and
// those of other Platform frameworks (CGColorSpaceRef, CGDataProviderRef, ...) derive from it, so
// CFRetain, CFRelease, CFEqual, CFHash and CFGetTypeID work on all of them.

#include <CoreFoundation/CFBase.h>

#include <atomic>

namespace CFPlatform {

class Object
{
public:
    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    virtual CFTypeID typeID() const = 0;
    // Called only with another object of the same type id.
    virtual bool equals(const Object& other) const { return this == &other; }
    virtual CFHashCode hash() const { return reinterpret_cast<CFHashCode>(this); }

    void retain() const;
    // Retains the object unless its last release has already happened (its destruction may be
    // under way on another thread); answers whether it did.
    bool retainUnlessReleased() const;
    // Frees the object at the last release, on the releasing thread.
    void release() const;
    CFIndex retainCount() const;
    // Immortal objects (CFSTR constants, constant UUIDs, kCFBooleanTrue) ignore retain and release.
    void makeImmortal() const;

protected:
    virtual ~Object() = default;

private:
    mutable std::atomic<intptr_t> fRetainCount{1};
};

// A new type id for a type, unique in the process. `name` is kept for messages.
CFTypeID registerType(const char* name);
const char* typeName(CFTypeID type);

// The object behind a CF reference; ends the process with a message naming `call` when it is NULL.
const Object& objectOf(CFTypeRef cf, const char* call);

// The object as a given CF type, or nullptr when it is NULL or another type.
template <typename T>
const T* as(CFTypeRef cf)
{
    if (!cf) {
        return nullptr;
    }
    auto* object = static_cast<const Object*>(cf);
    return object->typeID() == T::staticTypeID() ? static_cast<const T*>(object) : nullptr;
}

// Ends the process with "<call>: <message>" on standard error: the platform's trap for a
// programming error such as a NULL passed to CFRetain or an index outside an array.
[[noreturn]] void fatal(const char* call, const char* message);

} // namespace CFPlatform
