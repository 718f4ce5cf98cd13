#pragma once

// Configuration descriptors of the simulated interface, as the driver's selector 6 hands them to
// the plug-in.

#include "KorvanDeviceIO.h"

#include <KorvanInterface/Variants.h>

#include <algorithm>
#include <cstring>

namespace DeviceTesting {

constexpr uint16_t kVendorID = 0x2B3C;

inline KorvanDeviceIO::USBDescriptors DescriptorsOf(const KorvanInterface::DescriptorOptions& options)
{
    const std::vector<uint8_t> configuration = KorvanInterface::buildDescriptors(options).configuration;
    KorvanDeviceIO::USBDescriptors descriptors{};
    descriptors.fLength = uint32_t(std::min(configuration.size(), sizeof(descriptors.fData)));
    std::memcpy(descriptors.fData, configuration.data(), descriptors.fLength);
    return descriptors;
}

inline KorvanDeviceIO::USBDescriptors
DescriptorsOf(KorvanInterface::Model model,
              KorvanInterface::Variant variant = KorvanInterface::Variant::Standard)
{
    return DescriptorsOf(KorvanInterface::variantOptions(model, kVendorID, variant));
}

} // namespace DeviceTesting
