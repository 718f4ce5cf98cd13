#pragma once

// The root of the DriverKit object family: reference counted, created with a count of one; the last
// release calls free(), which subclasses override and end with their superclass's free().

#include <DriverKit/IOTypes.h>

#include <atomic>
#include <cstdint>
#include <utility>

class OSObject
{
public:
    OSObject() = default;
    OSObject(const OSObject&) = delete;
    OSObject& operator=(const OSObject&) = delete;

    virtual bool init();
    virtual void free();

    void retain() const;
    void release() const;
    // Platform: a reference, unless the last one has already gone (the object is being freed).
    bool platformTryRetain() const;

protected:
    virtual ~OSObject();

private:
    mutable std::atomic<int32_t> fRetainCount{1};
};

#define OSDynamicCast(type, object) (dynamic_cast<type*>(object))

#define OSSafeReleaseNULL(object)                                                                            \
    do {                                                                                                     \
        if (object) {                                                                                        \
            (object)->release();                                                                             \
            (object) = nullptr;                                                                              \
        }                                                                                                    \
    } while (0)

struct OSRetainTag
{};
struct OSNoRetainTag
{};
inline constexpr OSRetainTag OSRetain{};
inline constexpr OSNoRetainTag OSNoRetain{};

// Holds one reference to an object.
template <typename T>
class OSSharedPtr
{
public:
    OSSharedPtr() = default;
    OSSharedPtr(std::nullptr_t) {}
    OSSharedPtr(T* object, OSNoRetainTag) : fObject(object) {}
    OSSharedPtr(T* object, OSRetainTag) : fObject(object)
    {
        if (fObject) {
            fObject->retain();
        }
    }
    OSSharedPtr(const OSSharedPtr& other) : OSSharedPtr(other.fObject, OSRetain) {}
    OSSharedPtr(OSSharedPtr&& other) noexcept : fObject(std::exchange(other.fObject, nullptr)) {}
    template <typename U>
    OSSharedPtr(OSSharedPtr<U>&& other) noexcept : fObject(other.detach())
    {}
    ~OSSharedPtr() { reset(); }

    OSSharedPtr& operator=(OSSharedPtr other) noexcept
    {
        std::swap(fObject, other.fObject);
        return *this;
    }

    T* get() const { return fObject; }
    T* operator->() const { return fObject; }
    T& operator*() const { return *fObject; }
    explicit operator bool() const { return fObject != nullptr; }

    void reset()
    {
        if (T* object = std::exchange(fObject, nullptr)) {
            object->release();
        }
    }
    void reset(T* object, OSRetainTag) { *this = OSSharedPtr(object, OSRetain); }
    void reset(T* object, OSNoRetainTag) { *this = OSSharedPtr(object, OSNoRetain); }
    // Hands the reference to the caller.
    T* detach() { return std::exchange(fObject, nullptr); }
    // Takes over a reference the caller owned.
    void attach(T* object) { reset(object, OSNoRetain); }

private:
    T* fObject = nullptr;
};

template <typename T, typename U>
bool operator==(const OSSharedPtr<T>& a, const OSSharedPtr<U>& b)
{
    return a.get() == b.get();
}
