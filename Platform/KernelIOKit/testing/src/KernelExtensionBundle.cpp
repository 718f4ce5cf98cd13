#include "KernelMatching.h"
#include "PropertyConversion.h"

#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <libkern/c++/OSString.h>

#include <DriverKit/platform/BundleLoading.h>

#include <vector>

namespace KernelIOKitTesting {

bool loadKernelExtension(const char* bundlePath)
{
    return DriverKitPlatform::loadBundleOnce(bundlePath, [](CFDictionaryRef info) {
        OSObject* object = KernelIOKitPlatform::createOSValue(info);
        const auto* infoDictionary = OSDynamicCast(OSDictionary, object);
        const auto* table = infoDictionary
                                ? OSDynamicCast(OSDictionary, infoDictionary->getObject("IOKitPersonalities"))
                                : nullptr;
        std::vector<OSDictionary*> personalities;
        for (unsigned int index = 0; table && index < table->getCount(); ++index) {
            const auto* key = OSDynamicCast(OSString, table->getIterationObject(index));
            if (auto* personality = key ? OSDynamicCast(OSDictionary, table->getObject(key)) : nullptr) {
                personalities.push_back(personality);
            }
        }
        KernelIOKitPlatform::addPersonalities(personalities);
        OSSafeReleaseNULL(object);
    });
}

void setPowerState(IOService* service, unsigned long ordinal)
{
    KernelIOKitPlatform::setPowerState(service, ordinal);
}

} // namespace KernelIOKitTesting
