#include <FoundationTesting/SearchPaths.h>

#include "SearchPathRoots.h"

namespace FoundationTesting {

void setLocalDomainRoot(const std::string& root)
{
    NSPlatform::setLocalDomainRoot(root);
}

} // namespace FoundationTesting
