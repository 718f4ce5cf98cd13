#include <CoreFoundationTesting/Home.h>

#include "Home/HomeFolder.h"
#include "Preferences/PreferencesStore.h"

namespace CoreFoundationTesting {

void setHomeFolder(const std::string& folder)
{
    CFPlatform::setHomeFolderOverride(folder);
    CFPlatform::forgetPreferences();
}

} // namespace CoreFoundationTesting
