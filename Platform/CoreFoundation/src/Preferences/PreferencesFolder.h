#pragma once

// Where the preferences files live.

#include <optional>
#include <string>

namespace CFPlatform {

// <home>/Library/Preferences, or the folder a test set; nothing when the user has no home folder.
std::optional<std::string> preferencesFolder();

// Test seam: re-roots the preferences in `folder`; an empty folder puts them back under the home.
void setPreferencesFolderOverride(std::string folder);

// Creates the folder and any missing parent; false when that fails.
bool makeFolders(const std::string& folder);

} // namespace CFPlatform
