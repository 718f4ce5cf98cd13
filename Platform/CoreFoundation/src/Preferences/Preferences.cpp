// The CFPreferences calls: application ids checked and resolved, values checked and copied.

#include "Bundle/BundleRegistry.h"
#include "Preferences/PreferencesStore.h"
#include "PropertyList/Owned.h"

#include <CFPlatform/String.h>
#include <CoreFoundation/CFPreferences.h>

#include <os/log.h>

const CFStringRef kCFPreferencesCurrentApplication = CFSTR("kCFPreferencesCurrentApplication");

namespace CFPlatform {

namespace {

// The name of the application's file, without ".plist"; nothing for an id that cannot name a file
// inside the preferences folder.
std::optional<std::string> applicationFileName(CFStringRef applicationID)
{
    if (!applicationID || CFGetTypeID(applicationID) != CFStringGetTypeID()) {
        return std::nullopt;
    }
    std::optional<std::string> name;
    if (CFEqual(applicationID, kCFPreferencesCurrentApplication)) {
        CFStringRef identifier = mainBundle().identifier();
        if (identifier) {
            name = utf8Of(identifier);
        } else {
            std::string executable = runningExecutablePath();
            name = executable.substr(executable.rfind('/') + 1);
        }
    } else {
        name = utf8Of(applicationID);
    }
    if (!name || name->empty() || *name == "." || *name == ".." ||
        name->find_first_of(std::string("/\0", 2)) != std::string::npos) {
        return std::nullopt;
    }
    return name;
}

bool isKey(CFStringRef key)
{
    return key && CFGetTypeID(key) == CFStringGetTypeID();
}

} // namespace

} // namespace CFPlatform

using namespace CFPlatform;

CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID)
{
    std::optional<std::string> application = applicationFileName(applicationID);
    return application && isKey(key) ? copyPreference(key, *application) : nullptr;
}

void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID)
{
    std::optional<std::string> application = applicationFileName(applicationID);
    if (!application || !isKey(key)) {
        return;
    }
    if (!value) {
        setPreference(key, nullptr, *application);
        return;
    }
    // Only what the file can carry is kept, so one bad value cannot make every later save fail.
    Owned written(CFPropertyListCreateData(nullptr, value, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
    Owned copy(written ? CFPropertyListCreateDeepCopy(nullptr, value, kCFPropertyListImmutable) : nullptr);
    if (!copy) {
        std::string name = utf8Of(key).value_or("?");
        os_log_error(OS_LOG_DEFAULT,
                     "Preference %{public}s of %{public}s is not a property list; it is not kept",
                     name.c_str(), application->c_str());
        return;
    }
    setPreference(key, copy.get(), *application);
}

Boolean CFPreferencesAppSynchronize(CFStringRef applicationID)
{
    std::optional<std::string> application = applicationFileName(applicationID);
    return application && synchronizePreferences(*application);
}
