#include <Foundation/NSPathUtilities.h>

#include "FilePaths.h"
#include "SearchPathRoots.h"

#include <mutex>
#include <optional>

namespace NSPlatform {

namespace {

std::mutex gRootLock;
std::string gLocalRoot;

// The folder below a domain's root, or nothing when the domain has none.
std::optional<std::string> folderBelowRoot(NS::SearchPathDirectory directory, NS::SearchPathDomainMask domain)
{
    switch (directory) {
    case NS::LibraryDirectory:
        return std::string("/Library");
    case NS::ApplicationSupportDirectory:
        return std::string("/Library/Application Support");
    case NS::DocumentDirectory:
        if (domain == NS::UserDomainMask) {
            return std::string("/Documents");
        }
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> homePath()
{
    CFURLRef home = CFCopyHomeDirectoryURL();
    std::optional<std::string> path = pathOf(home);
    if (home) {
        CFRelease(home);
    }
    if (path && path->size() > 1 && path->back() == '/') {
        path->pop_back();
    }
    return path;
}

} // namespace

std::string localDomainRoot()
{
    std::lock_guard lock(gRootLock);
    return gLocalRoot;
}

void setLocalDomainRoot(std::string root)
{
    std::lock_guard lock(gRootLock);
    gLocalRoot = std::move(root);
}

} // namespace NSPlatform

NS::Array NSSearchPathForDirectoriesInDomains(NS::SearchPathDirectory directory, unsigned long domainMask,
                                              bool expandTilde)
{
    CFMutableArrayRef paths = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    auto append = [&](const std::string& path) {
        CFStringRef text = NSPlatform::createString(path);
        CFArrayAppendValue(paths, text);
        CFRelease(text);
    };
    if (domainMask & NS::UserDomainMask) {
        std::optional<std::string> below = NSPlatform::folderBelowRoot(directory, NS::UserDomainMask);
        std::optional<std::string> home = expandTilde ? NSPlatform::homePath() : std::string("~");
        if (below && home) {
            append(*home + *below);
        }
    }
    if (domainMask & NS::LocalDomainMask) {
        std::optional<std::string> below = NSPlatform::folderBelowRoot(directory, NS::LocalDomainMask);
        if (below) {
            append(NSPlatform::localDomainRoot() + *below);
        }
    }
    return paths;
}
