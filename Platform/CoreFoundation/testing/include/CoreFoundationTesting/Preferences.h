#pragma once

// Test seams of CFPreferences.

#include <string>

namespace CoreFoundationTesting {

// Keeps the preferences files in `folder` instead of <home>/Library/Preferences, and forgets every
// domain read so far, so that the next use reads its file from there. An empty folder puts them
// back under the home folder.
void setPreferencesFolder(const std::string& folder);

// While set, every save fails part-way through writing its temporary file, as on a full disk.
void failPreferencesWrites(bool fail);

} // namespace CoreFoundationTesting
