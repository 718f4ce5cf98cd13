#include <CoreFoundationTesting/Preferences.h>

#include "Preferences/PreferencesFolder.h"
#include "Preferences/PreferencesStore.h"
#include <CFPlatform/FileReplacement.h>

namespace CoreFoundationTesting {

void setPreferencesFolder(const std::string& folder)
{
    CFPlatform::setPreferencesFolderOverride(folder);
    CFPlatform::forgetPreferences();
}

void failPreferencesWrites(bool fail)
{
    CFPlatform::setFileReplacementFailure(fail);
}

} // namespace CoreFoundationTesting
