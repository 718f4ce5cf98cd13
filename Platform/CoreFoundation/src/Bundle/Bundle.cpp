// The CFBundle calls: bundles found by folder or identifier, their Info.plist and resources.

#include "Bundle/BundleRegistry.h"
#include "URL/FileSystemPaths.h"
#include "URL/URLObject.h"

#include <CFPlatform/String.h>

#include <sys/stat.h>

using CFPlatform::BundleObject;
using CFPlatform::bundleOf;

CFTypeID CFBundleGetTypeID(void)
{
    return BundleObject::staticTypeID();
}

CFBundleRef CFBundleGetMainBundle(void)
{
    return CFPlatform::mainBundle().ref();
}

CFBundleRef CFBundleCreate(CFAllocatorRef, CFURLRef bundleURL)
{
    if (!bundleURL) {
        return nullptr;
    }
    std::optional<std::string> folder = CFPlatform::filePathOf(bundleURL, true, "CFBundleCreate");
    struct stat info;
    if (!folder || stat(folder->c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return nullptr;
    }
    CFBundleRef bundle = CFPlatform::bundleForFolder(*folder).ref();
    CFRetain(bundle);
    return bundle;
}

CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef bundleID)
{
    if (!bundleID) {
        return nullptr;
    }
    const BundleObject* bundle = CFPlatform::bundleWithIdentifier(bundleID);
    return bundle ? bundle->ref() : nullptr;
}

CFStringRef CFBundleGetIdentifier(CFBundleRef bundle)
{
    return bundleOf(bundle, "CFBundleGetIdentifier").identifier();
}

CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle)
{
    return bundleOf(bundle, "CFBundleGetInfoDictionary").info();
}

CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key)
{
    CFDictionaryRef info = bundleOf(bundle, "CFBundleGetValueForInfoDictionaryKey").info();
    return key ? CFDictionaryGetValue(info, key) : nullptr;
}

CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle)
{
    CFURLRef url = bundleOf(bundle, "CFBundleCopyBundleURL").url();
    CFRetain(url);
    return url;
}

CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle)
{
    const BundleObject& object = bundleOf(bundle, "CFBundleCopyResourcesDirectoryURL");
    CFPlatform::UriReference parts;
    parts.path = object.relativeResourcesPath();
    return CFPlatform::URLObject::create(std::move(parts), object.url());
}

CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName, CFStringRef resourceType,
                                 CFStringRef subDirName)
{
    const BundleObject& object = bundleOf(bundle, "CFBundleCopyResourceURL");
    std::optional<std::string> name = resourceName ? CFPlatform::utf8Of(resourceName) : std::nullopt;
    std::optional<std::string> type = resourceType ? CFPlatform::utf8Of(resourceType) : std::string();
    std::optional<std::string> subFolder = subDirName ? CFPlatform::utf8Of(subDirName) : std::string();
    if (!name || name->empty() || !type || !subFolder) {
        return nullptr;
    }
    std::string path = object.resourcesFolder() + "/";
    if (!subFolder->empty()) {
        path += *subFolder + "/";
    }
    path += *name;
    if (!type->empty()) {
        path += "." + *type;
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        return nullptr;
    }
    return CFPlatform::createFileURL(path, S_ISDIR(info.st_mode));
}
