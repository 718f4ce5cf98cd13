#pragma once

// Every bundle of the process, one per folder, kept for the life of the process.

#include "Bundle/BundleObject.h"

#include <optional>
#include <string>

namespace CFPlatform {

// The bundle of an existing folder (path without a trailing "/"), made on first use.
const BundleObject& bundleForFolder(const std::string& folder);

const BundleObject& mainBundle();
// Test seam: while set, the main bundle is this one instead of the running executable's.
void overrideMainBundle(const BundleObject* bundle);

// The path of the running executable, from /proc/self/exe.
std::string runningExecutablePath();

// Looks among the known bundles, then among the bundles of the executables loaded in the process.
const BundleObject* bundleWithIdentifier(CFStringRef identifier);

} // namespace CFPlatform
