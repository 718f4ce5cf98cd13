#include "Preferences/PreferencesFolder.h"

#include <cerrno>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace CFPlatform {

namespace {

std::mutex gOverrideLock;
std::optional<std::string> gOverride;

std::optional<std::string> homeFolder()
{
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
    passwd entry;
    passwd* result = nullptr;
    while (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (!result || !result->pw_dir || result->pw_dir[0] != '/') {
        return std::nullopt;
    }
    return std::string(result->pw_dir);
}

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
    gOverride = std::move(folder);
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
