#pragma once

// The root of the local domain: "/" unless a test re-rooted it.

#include <string>

namespace NSPlatform {

std::string localDomainRoot();
void setLocalDomainRoot(std::string root);

} // namespace NSPlatform
