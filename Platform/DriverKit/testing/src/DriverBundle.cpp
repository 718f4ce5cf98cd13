#include "ClassDeclarations.h"
#include "Properties.h"

#include <DriverKitTesting/DriverKitTesting.h>

#include <DriverKit/platform/BundleLoading.h>

#include <vector>

namespace DriverKitTesting {

bool loadDriverBundle(const char* bundlePath)
{
    return DriverKitPlatform::loadBundleOnce(bundlePath, [](CFDictionaryRef info) {
        std::vector<OSDictionary*> personalities;
        CFStringRef key =
            CFStringCreateWithCString(kCFAllocatorDefault, "IOKitPersonalities", kCFStringEncodingUTF8);
        OSSharedPtr<OSObject> all(DriverKitPlatform::copyObjectValue(CFDictionaryGetValue(info, key)),
                                  OSNoRetain);
        CFRelease(key);
        if (const auto* table = OSDynamicCast(OSDictionary, all.get())) {
            table->iterateObjects([&](const char*, OSObject* personality) {
                if (auto* dictionary = OSDynamicCast(OSDictionary, personality)) {
                    personalities.push_back(dictionary);
                }
                return false;
            });
        }
        DriverKitPlatform::registerDriver(DriverKitPlatform::declaredClasses(), personalities);
    });
}

} // namespace DriverKitTesting
