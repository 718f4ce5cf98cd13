#include "DescriptorCopies.h"

#include <USBDriverKit/USBTypes.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace DriverKitPlatform {

namespace {

struct Copies
{
    std::mutex lock;
    std::map<const void*, size_t> sizes;
};

Copies& copies()
{
    static Copies* instance = new Copies;
    return *instance;
}

} // namespace

void* copyDescriptor(const uint8_t* bytes, size_t length)
{
    if (length == 0) {
        return nullptr;
    }
    void* copy = std::malloc(length);
    std::memcpy(copy, bytes, length);
    Copies& c = copies();
    std::lock_guard lock(c.lock);
    c.sizes[copy] = length;
    return copy;
}

size_t descriptorCopySize(const void* copy)
{
    Copies& c = copies();
    std::lock_guard lock(c.lock);
    auto found = c.sizes.find(copy);
    return found == c.sizes.end() ? 0 : found->second;
}

} // namespace DriverKitPlatform

void IOUSBHostFreeDescriptor(const void* descriptor)
{
    if (descriptor == nullptr) {
        return;
    }
    {
        auto& c = DriverKitPlatform::copies();
        std::lock_guard lock(c.lock);
        c.sizes.erase(descriptor);
    }
    std::free(const_cast<void*>(descriptor));
}
