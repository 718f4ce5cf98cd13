#include <CoreFoundationTesting/MainBundle.h>

#include "Bundle/BundleRegistry.h"

namespace CoreFoundationTesting {

void setMainBundle(const std::string& folder)
{
    CFPlatform::overrideMainBundle(&CFPlatform::bundleForFolder(folder));
}

void resetMainBundle()
{
    CFPlatform::overrideMainBundle(nullptr);
}

} // namespace CoreFoundationTesting
