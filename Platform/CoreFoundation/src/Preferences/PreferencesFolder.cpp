#include "Preferences/PreferencesFolder.h"

#include "Home/HomeFolder.h"

#include <cerrno>
#include <mutex>
#include <sys/stat.h>

namespace CFPlatform {

namespace {

std::mutex gOverrideLock;
std::optional<std::string> gOverride;

} // namespace

std::optional<std::string> preferencesFolder()
{
    {
        std::lock_guard lock(gOverrideLock);
        if (gOverride) {
            return gOverride;
        }
    }
    std::optional<std::string> home = homeFolder();
    if (!home) {
        return std::nullopt;
    }
    return (*home == "/" ? std::string() : *home) + "/Library/Preferences";
}

void setPreferencesFolderOverride(std::string folder)
{
    std::lock_guard lock(gOverrideLock);
    if (folder.empty()) {
        gOverride.reset();
    } else {
        gOverride = std::move(folder);
    }
}

bool makeFolders(const std::string& folder)
{
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        std::string prefix = folder.substr(0, slash);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
    }
}

} // namespace CFPlatform
