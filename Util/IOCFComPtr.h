#pragma once

// Owns one reference to an IOKit plug-in interface (T**, whose function table starts with the
// IUnknown entries) and releases it through that table exactly once.

#include <utility>

namespace vork {

template <typename T>
class IOCFComPtr
{
public:
    IOCFComPtr() = default;
    explicit IOCFComPtr(T** interface) : fInterface(interface) {}
    IOCFComPtr(IOCFComPtr&& other) noexcept : fInterface(std::exchange(other.fInterface, nullptr)) {}
    IOCFComPtr& operator=(IOCFComPtr&& other) noexcept
    {
        if (this != &other) {
            reset(std::exchange(other.fInterface, nullptr));
        }
        return *this;
    }
    IOCFComPtr(const IOCFComPtr&) = delete;
    IOCFComPtr& operator=(const IOCFComPtr&) = delete;

    ~IOCFComPtr() { reset(); }

    // Releases the interface held so far and takes over `interface`.
    void reset(T** interface = nullptr)
    {
        T** old = std::exchange(fInterface, interface);
        if (old) {
            (*old)->Release(old);
        }
    }

    T** get() const { return fInterface; }
    explicit operator bool() const { return fInterface != nullptr; }

private:
    T** fInterface = nullptr;
};

} // namespace vork
