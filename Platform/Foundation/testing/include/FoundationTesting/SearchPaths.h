#pragma once

// Test seam of the standard folders.

#include <string>

namespace FoundationTesting {

// Puts the local domain's folders under `root` instead of "/"; an empty root puts them back. The
// user domain follows CoreFoundationTesting::setHomeFolder.
void setLocalDomainRoot(const std::string& root);

} // namespace FoundationTesting
