#include <CoreFoundationTesting/MountTable.h>

#include "URL/MountPoints.h"

namespace CoreFoundationTesting {

void setMountTableFile(const std::string& file)
{
    CFPlatform::setMountTableOverride(file);
}

} // namespace CoreFoundationTesting
