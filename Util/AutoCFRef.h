#pragma once

// Holds one CoreFoundation reference and releases it exactly once.

#include <CoreFoundation/CFBase.h>

#include <utility>

template <typename T>
class auto_cfref
{
public:
    // Selects the forms that retain the reference instead of taking over the caller's.
    struct Retain
    {};

    auto_cfref() = default;
    explicit auto_cfref(T ref) : fRef(ref) {}
    auto_cfref(T ref, const Retain&) : fRef(retained(ref)) {}
    auto_cfref(auto_cfref&& other) noexcept : fRef(std::exchange(other.fRef, nullptr)) {}
    auto_cfref& operator=(auto_cfref&& other) noexcept
    {
        if (this != &other) {
            reset(std::exchange(other.fRef, nullptr));
        }
        return *this;
    }
    auto_cfref(const auto_cfref&) = delete;
    auto_cfref& operator=(const auto_cfref&) = delete;

    ~auto_cfref() { reset(); }

    // Takes over `ref` without retaining it.
    void reset(T ref = nullptr)
    {
        T old = std::exchange(fRef, ref);
        if (old) {
            CFRelease(old);
        }
    }

    // Retains `ref` before releasing the old reference, so that resetting to the held object
    // keeps it alive.
    void reset(T ref, const Retain&) { reset(retained(ref)); }

    T get() const { return fRef; }
    operator T() const { return fRef; }
    explicit operator bool() const { return fRef != nullptr; }

private:
    static T retained(T ref)
    {
        if (ref) {
            CFRetain(ref);
        }
        return ref;
    }

    T fRef = nullptr;
};
