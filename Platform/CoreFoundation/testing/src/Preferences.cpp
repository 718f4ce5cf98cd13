#include <CoreFoundationTesting/Preferences.h>

#include "Preferences/FileReplacement.h"
#include "Preferences/PreferencesFolder.h"
#include "Preferences/PreferencesStore.h"

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
