#include "Bundle/BundleObject.h"

#include "PropertyList/PropertyListFile.h"
#include "URL/FileSystemPaths.h"

#include <CoreFoundation/CFString.h>

#include <sys/stat.h>

const CFStringRef kCFBundleIdentifierKey = CFSTR("CFBundleIdentifier");

namespace CFPlatform {

namespace {

bool isDirectory(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Contents/Info.plist as a dictionary; an empty one when the folder has no Contents/ or the file is
// missing, unreadable or not a dictionary.
CFDictionaryRef readInfo(const std::string& folder, bool hasContents)
{
    CFPropertyListRef plist = nullptr;
    std::string problem;
    if (hasContents &&
        readPropertyListFile(folder + "/Contents/Info.plist", plist, problem) == FileReadResult::Read) {
        if (CFGetTypeID(plist) == CFDictionaryGetTypeID()) {
            return static_cast<CFDictionaryRef>(plist);
        }
        CFRelease(plist);
    }
    return CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                              &kCFTypeDictionaryValueCallBacks);
}

} // namespace

CFTypeID BundleObject::staticTypeID()
{
    static const CFTypeID type = registerType("CFBundle");
    return type;
}

BundleObject::BundleObject(std::string folder)
    : fFolder(std::move(folder)), fHasContents(isDirectory(fFolder + "/Contents")),
      fURL(createFileURL(fFolder, true)), fInfo(readInfo(fFolder, fHasContents))
{}

BundleObject::~BundleObject()
{
    CFRelease(fURL);
    CFRelease(fInfo);
}

CFStringRef BundleObject::identifier() const
{
    CFTypeRef value = CFDictionaryGetValue(fInfo, kCFBundleIdentifierKey);
    return value && CFGetTypeID(value) == CFStringGetTypeID() ? static_cast<CFStringRef>(value) : nullptr;
}

const char* BundleObject::relativeResourcesPath() const
{
    return fHasContents ? "Contents/Resources/" : "./";
}

std::string BundleObject::resourcesFolder() const
{
    return fHasContents ? fFolder + "/Contents/Resources" : fFolder;
}

const BundleObject& bundleOf(CFBundleRef bundle, const char* call)
{
    const Object& object = objectOf(bundle, call);
    if (object.typeID() != BundleObject::staticTypeID()) {
        fatal(call, "not a CFBundle");
    }
    return static_cast<const BundleObject&>(object);
}

} // namespace CFPlatform
