#pragma once

// Holders of reference-counted Cocoa objects (anything with retain() and release(), such as
// NS::Object and its subclasses): each holder owns one reference and releases it exactly once.

#include <utility>

namespace Cocoa {

// Selects the forms that retain the object instead of taking over the caller's reference.
struct Retain
{};

template <typename T>
class scoped_objc
{
public:
    scoped_objc() = default;
    explicit scoped_objc(T* object) : fObject(object) {}
    scoped_objc(T* object, Retain) : fObject(retained(object)) {}
    scoped_objc(scoped_objc&& other) noexcept : fObject(std::exchange(other.fObject, nullptr)) {}
    scoped_objc& operator=(scoped_objc&& other) noexcept
    {
        if (this != &other) {
            reset(std::exchange(other.fObject, nullptr));
        }
        return *this;
    }
    scoped_objc(const scoped_objc&) = delete;
    scoped_objc& operator=(const scoped_objc&) = delete;

    ~scoped_objc() { reset(); }

    // Takes over `object` without retaining it.
    void reset(T* object = nullptr)
    {
        T* old = std::exchange(fObject, object);
        if (old) {
            old->release();
        }
    }

    // Retains the new object before releasing the old one, so that resetting to the held object
    // keeps it alive.
    void reset(T* object, Retain) { reset(retained(object)); }

    T* get() const { return fObject; }
    T* operator->() const { return fObject; }
    explicit operator bool() const { return fObject != nullptr; }

private:
    static T* retained(T* object)
    {
        if (object) {
            object->retain();
        }
        return object;
    }

    T* fObject = nullptr;
};

// A copyable holder: every copy owns a reference of its own.
template <typename T>
class shared_objc
{
public:
    shared_objc() = default;
    explicit shared_objc(T* object) : fHeld(object) {}
    shared_objc(T* object, Retain) : fHeld(object, Retain{}) {}
    shared_objc(const shared_objc& other) : fHeld(other.get(), Retain{}) {}
    shared_objc(shared_objc&&) noexcept = default;
    shared_objc& operator=(const shared_objc& other)
    {
        fHeld.reset(other.get(), Retain{});
        return *this;
    }
    shared_objc& operator=(shared_objc&&) noexcept = default;

    T* get() const { return fHeld.get(); }
    T* operator->() const { return fHeld.get(); }
    explicit operator bool() const { return static_cast<bool>(fHeld); }

private:
    scoped_objc<T> fHeld;
};

} // namespace Cocoa
