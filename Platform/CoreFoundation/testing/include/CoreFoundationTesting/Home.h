#pragma once

// Test seam of the user's home folder.

#include <string>

namespace CoreFoundationTesting {

// Makes `folder` the home folder that CFCopyHomeDirectoryURL answers and under which the
// preferences live (unless setPreferencesFolder puts them elsewhere); an empty folder goes back to
// the account's own home.
void setHomeFolder(const std::string& folder);

} // namespace CoreFoundationTesting
