#pragma once

// The user's home folder.

#include <optional>
#include <string>

namespace CFPlatform {

// From the account database (never the environment), or the folder a test set; nothing when the
// user has no home folder.
std::optional<std::string> homeFolder();

// Test seam: re-roots the home in `folder`; an empty folder goes back to the account's home.
void setHomeFolderOverride(std::string folder);

} // namespace CFPlatform
