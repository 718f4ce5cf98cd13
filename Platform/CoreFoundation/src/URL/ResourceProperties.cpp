// Questions to the file system about the object a file URL names.

#include "URL/ErrorReport.h"
#include "URL/FileSystemPaths.h"
#include "URL/MountPoints.h"

#include <CFPlatform/String.h>
#include <CoreFoundation/CFNumber.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

const CFStringRef kCFURLIsDirectoryKey = CFSTR("kCFURLIsDirectoryKey");
const CFStringRef kCFURLIsPackageKey = CFSTR("kCFURLIsPackageKey");
const CFStringRef kCFURLVolumeIdentifierKey = CFSTR("kCFURLVolumeIdentifierKey");
const CFStringRef kCFURLVolumeURLKey = CFSTR("kCFURLVolumeURLKey");
const CFStringRef kCFURLVolumeNameKey = CFSTR("kCFURLVolumeNameKey");

namespace CFPlatform {

namespace {

constexpr const char* kRootVolumeName = "Root";

// The path of a file URL, or an error for any other URL.
std::optional<std::string> localPath(CFURLRef url, CFErrorRef* error, const char* call)
{
    std::optional<std::string> path = filePathOf(url, true, call);
    if (!path) {
        reportError(error, kCFErrorDomainPOSIX, EINVAL, "the URL names no local file");
    }
    return path;
}

bool statPath(const std::string& path, struct stat& info, CFErrorRef* error)
{
    if (stat(path.c_str(), &info) != 0) {
        int code = errno;
        reportError(error, kCFErrorDomainPOSIX, code, std::strerror(code));
        return false;
    }
    return true;
}

bool hasPackageExtension(const std::string& path)
{
    static constexpr const char* kPackageExtensions[] = {"app",  "bundle", "framework", "plugin",
                                                         "kext", "dext",   "driver"};
    std::string name = path.substr(path.rfind('/') + 1);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return false;
    }
    const char* extension = name.c_str() + dot + 1;
    return std::any_of(std::begin(kPackageExtensions), std::end(kPackageExtensions),
                       [&](const char* known) { return strcasecmp(extension, known) == 0; });
}

std::optional<std::string> mountPointOfPath(const std::string& path, CFErrorRef* error)
{
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved)) {
        int code = errno;
        reportError(error, kCFErrorDomainPOSIX, code, std::strerror(code));
        return std::nullopt;
    }
    return mountPointOf(resolved);
}

// A new reference to the property's value, or nullptr (with `known` false for an unknown key).
CFTypeRef copyProperty(const std::string& path, const struct stat& info, CFStringRef key, bool& known,
                       CFErrorRef* error)
{
    known = true;
    if (CFEqual(key, kCFURLIsDirectoryKey)) {
        return CFRetain(S_ISDIR(info.st_mode) ? kCFBooleanTrue : kCFBooleanFalse);
    }
    if (CFEqual(key, kCFURLIsPackageKey)) {
        return CFRetain(S_ISDIR(info.st_mode) && hasPackageExtension(path) ? kCFBooleanTrue
                                                                           : kCFBooleanFalse);
    }
    if (CFEqual(key, kCFURLVolumeIdentifierKey)) {
        auto device = static_cast<SInt64>(info.st_dev);
        return CFNumberCreate(nullptr, kCFNumberSInt64Type, &device);
    }
    if (CFEqual(key, kCFURLVolumeURLKey) || CFEqual(key, kCFURLVolumeNameKey)) {
        std::optional<std::string> mountPoint = mountPointOfPath(path, error);
        if (!mountPoint) {
            return nullptr;
        }
        if (CFEqual(key, kCFURLVolumeURLKey)) {
            return createFileURL(*mountPoint, true);
        }
        return createStringFromUTF8(*mountPoint == "/" ? kRootVolumeName
                                                       : mountPoint->substr(mountPoint->rfind('/') + 1));
    }
    known = false;
    return nullptr;
}

} // namespace

} // namespace CFPlatform

Boolean CFURLResourceIsReachable(CFURLRef url, CFErrorRef* error)
{
    std::optional<std::string> path = CFPlatform::localPath(url, error, "CFURLResourceIsReachable");
    struct stat info;
    return path && CFPlatform::statPath(*path, info, error);
}

Boolean CFURLCopyResourcePropertyForKey(CFURLRef url, CFStringRef key, void* propertyValueTypeRefPtr,
                                        CFErrorRef* error)
{
    auto* value = static_cast<CFTypeRef*>(propertyValueTypeRefPtr);
    if (!value || !key) {
        CFPlatform::reportError(error, kCFErrorDomainPOSIX, EINVAL, "no key or no place for the value");
        return false;
    }
    *value = nullptr;
    std::optional<std::string> path = CFPlatform::localPath(url, error, "CFURLCopyResourcePropertyForKey");
    struct stat info;
    if (!path || !CFPlatform::statPath(*path, info, error)) {
        return false;
    }
    bool known = false;
    *value = CFPlatform::copyProperty(*path, info, key, known, error);
    return *value != nullptr || !known;
}
