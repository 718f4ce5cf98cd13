#pragma once

// Test seam: the main bundle is fixed by the running executable; a test names another folder.

#include <string>

namespace CoreFoundationTesting {

// From now on CFBundleGetMainBundle answers the bundle of this existing folder.
void setMainBundle(const std::string& folder);
// Back to the running executable's bundle.
void resetMainBundle();

} // namespace CoreFoundationTesting
