#pragma once

// Test seam of the volume lookup behind the URL resource properties.

#include <string>

namespace CoreFoundationTesting {

// Volumes are looked up in `file`, written as /proc/self/mountinfo is, instead of the process's
// mount table; an empty name restores that.
void setMountTableFile(const std::string& file);

} // namespace CoreFoundationTesting
