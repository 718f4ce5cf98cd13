#include "Home/HomeFolder.h"

#include <CoreFoundation/CFUtilities.h>

#include "URL/FileSystemPaths.h"

#include <cerrno>
#include <mutex>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace CFPlatform {

namespace {

std::mutex gOverrideLock;
std::string gOverride;

std::optional<std::string> accountHome()
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

std::optional<std::string> homeFolder()
{
    {
        std::lock_guard lock(gOverrideLock);
        if (!gOverride.empty()) {
            return gOverride;
        }
    }
    return accountHome();
}

void setHomeFolderOverride(std::string folder)
{
    std::lock_guard lock(gOverrideLock);
    gOverride = std::move(folder);
}

} // namespace CFPlatform

CFURLRef CFCopyHomeDirectoryURL(void)
{
    std::optional<std::string> home = CFPlatform::homeFolder();
    return home ? CFPlatform::createFileURL(*home, true) : nullptr;
}
