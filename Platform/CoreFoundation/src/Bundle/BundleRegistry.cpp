#include "Bundle/BundleRegistry.h"

#include <atomic>
#include <climits>
#include <link.h>
#include <map>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace CFPlatform {

namespace {

struct Registry
{
    std::mutex fLock;
    std::map<std::string, const BundleObject*> fBundles;
};

Registry& registry()
{
    static auto* instance = new Registry;
    return *instance;
}

std::string parentOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

// "<bundle>/Contents/MacOS/<executable>" gives "<bundle>".
std::optional<std::string> bundleFolderOfExecutable(const std::string& executable)
{
    std::string macOS = parentOf(executable);
    std::string contents = parentOf(macOS);
    if (nameOf(macOS) != "MacOS" || nameOf(contents) != "Contents" || contents == "/") {
        return std::nullopt;
    }
    return parentOf(contents);
}

int collectLoadedObject(dl_phdr_info* info, size_t, void* context)
{
    if (info->dlpi_name && info->dlpi_name[0] == '/') {
        static_cast<std::vector<std::string>*>(context)->push_back(info->dlpi_name);
    }
    return 0;
}

const BundleObject* findKnown(CFStringRef identifier)
{
    Registry& bundles = registry();
    std::lock_guard lock(bundles.fLock);
    for (auto& [folder, bundle] : bundles.fBundles) {
        if (CFEqual(bundle->identifier(), identifier)) {
            return bundle;
        }
    }
    return nullptr;
}

} // namespace

const BundleObject& bundleForFolder(const std::string& folder)
{
    Registry& bundles = registry();
    std::lock_guard lock(bundles.fLock);
    const BundleObject*& bundle = bundles.fBundles[folder];
    if (!bundle) {
        bundle = new BundleObject(folder);
    }
    return *bundle;
}

std::string runningExecutablePath()
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path));
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string("/");
}

namespace {

std::atomic<const BundleObject*> gMainBundleOverride{nullptr};

} // namespace

const BundleObject& mainBundle()
{
    if (const BundleObject* chosen = gMainBundleOverride.load()) {
        return *chosen;
    }
    static const BundleObject* sMain = [] {
        std::string executable = runningExecutablePath();
        return &bundleForFolder(bundleFolderOfExecutable(executable).value_or(parentOf(executable)));
    }();
    return *sMain;
}

void overrideMainBundle(const BundleObject* bundle)
{
    gMainBundleOverride.store(bundle);
}

const BundleObject* bundleWithIdentifier(CFStringRef identifier)
{
    mainBundle();
    if (const BundleObject* bundle = findKnown(identifier)) {
        return bundle;
    }
    std::vector<std::string> loaded;
    dl_iterate_phdr(collectLoadedObject, &loaded);
    for (const std::string& executable : loaded) {
        if (std::optional<std::string> folder = bundleFolderOfExecutable(executable)) {
            bundleForFolder(*folder);
        }
    }
    return findKnown(identifier);
}

} // namespace CFPlatform
