#include "ConfigurationCopy.h"

#include <algorithm>
#include <cstring>

namespace ConfigurationCopy {

IOReturn Copy(const StandardUSB::ConfigurationDescriptor* configuration, uint8_t* out, size_t capacity,
              uint32_t* length)
{
    *length = 0;
    const auto* first = reinterpret_cast<const StandardUSB::Descriptor*>(configuration);
    const StandardUSB::Descriptor* next = StandardUSB::getNextDescriptor(configuration, nullptr);
    // The walk vouches for the configuration descriptor's bLength only when something follows it.
    size_t firstLength = first->bLength;
    if (!next) {
        firstLength = std::min(firstLength, sizeof(StandardUSB::ConfigurationDescriptor));
    }
    if (firstLength > capacity) {
        return kIOReturnNoMemory;
    }
    std::memcpy(out, first, firstLength);
    size_t total = firstLength;
    for (const StandardUSB::Descriptor* d = next; d; d = StandardUSB::getNextDescriptor(configuration, d)) {
        if (total + d->bLength > capacity) {
            *length = uint32_t(total);
            return kIOReturnNoMemory;
        }
        std::memcpy(out + total, d, d->bLength);
        total += d->bLength;
    }
    *length = uint32_t(total);
    return kIOReturnSuccess;
}

} // namespace ConfigurationCopy
