#include "FileLocation.h"

#include "Folder.h"
#include "UString/UStringConvertMac.h"

#include <Foundation/NSFileManager.h>

#include <cstring>

namespace Pellix {

namespace {

using Retain = auto_cfref<CFURLRef>::Retain;

UString PathOf(CFURLRef url)
{
    if (!url) {
        return UString();
    }
    auto_cfref<CFStringRef> path(CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle));
    return path ? CFToUString(path) : UString();
}

// A resource property of the URL, or null when it cannot be read.
CFTypeRef CopyProperty(CFURLRef url, CFStringRef key)
{
    CFTypeRef value = nullptr;
    if (!url || !CFURLCopyResourcePropertyForKey(url, key, &value, nullptr)) {
        return nullptr;
    }
    return value;
}

bool SameURL(CFURLRef a, CFURLRef b)
{
    return a && b && CFEqual(a, b);
}

} // namespace

bool FileURLIsValid(CFURLRef url)
{
    return url && CFURLResourceIsReachable(url, nullptr);
}

bool URLIsDirectory(CFURLRef url)
{
    if (!url) {
        return false;
    }
    auto_cfref<CFStringRef> path(CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle));
    bool isDirectory = false;
    return path && NS::FileManager::defaultManager()->fileExistsAtPath(path, &isDirectory) && isDirectory;
}

bool PathComponentIsDirectory(CFURLRef base, CFStringRef component)
{
    if (!base || !component) {
        return false;
    }
    auto_cfref<CFURLRef> url(CFURLCreateCopyAppendingPathComponent(nullptr, base, component, false));
    return URLIsDirectory(url);
}

FileSpecification::FileSpecification(const UString& path)
{
    if (path.empty()) {
        return;
    }
    auto_cfref<CFURLRef> url(
        CFURLCreateWithFileSystemPath(nullptr, UStringToCF(path), kCFURLPOSIXPathStyle, false));
    TakeURL(url);
}

FileSpecification::FileSpecification(CFURLRef url)
{
    if (FileURLIsValid(url)) {
        TakeURL(url);
    }
}

FileSpecification::FileSpecification(const FileSpecification& parent, const UString& name)
    : fName(UStringToHFS(name)), fParentIsFolder(URLIsDirectory(parent.fURL))
{
    auto_cfref<CFURLRef> folder;
    if (fParentIsFolder) {
        fParentURL.reset(parent.fURL, Retain());
        folder.reset(parent.fURL, Retain());
    } else {
        folder.reset(CFCopyHomeDirectoryURL());
    }
    if (folder) {
        fURL.reset(CFURLCreateCopyAppendingPathComponent(nullptr, folder, UStringToCF(name), false));
    }
}

FileSpecification::FileSpecification(const FileSpecification& other)
    : fParentURL(other.fParentURL, Retain()), fURL(other.fURL, Retain()), fName(other.fName),
      fParentIsFolder(other.fParentIsFolder)
{}

FileSpecification& FileSpecification::operator=(const FileSpecification& other)
{
    fParentURL.reset(other.fParentURL, Retain());
    fURL.reset(other.fURL, Retain());
    fName = other.fName;
    fParentIsFolder = other.fParentIsFolder;
    return *this;
}

void FileSpecification::TakeURL(CFURLRef url)
{
    if (!url) {
        return;
    }
    fURL.reset(url, Retain());
    auto_cfref<CFStringRef> name(CFURLCopyLastPathComponent(url));
    fName = name ? CFStringToHFS(name) : HFSUniStr255{};
    auto_cfref<CFURLRef> parent(CFURLCreateCopyDeletingLastPathComponent(nullptr, url));
    if (URLIsDirectory(parent)) {
        fParentURL = std::move(parent);
        fParentIsFolder = true;
    }
}

bool FileSpecification::operator==(const FileSpecification& other) const
{
    if (!fURL != !other.fURL || !fParentURL != !other.fParentURL) {
        return false;
    }
    if (fParentURL && !CFEqual(fParentURL, other.fParentURL)) {
        return false;
    }
    return !fURL || CFEqual(fURL, other.fURL);
}

bool FileSpecification::operator<(const FileSpecification& other) const
{
    if (fParentIsFolder != other.fParentIsFolder) {
        return !fParentIsFolder;
    }
    return GetPOSIXPath() < other.GetPOSIXPath();
}

bool FileSpecification::IsValid() const
{
    return fName.length > 0 && fParentIsFolder && FileURLIsValid(fParentURL);
}

bool FileSpecification::Exists() const
{
    return FileURLIsValid(fURL);
}

bool FileSpecification::IsFile() const
{
    return !URLIsDirectory(fURL);
}

bool FileSpecification::IsFolder() const
{
    return URLIsDirectory(fURL);
}

bool FileSpecification::IsPackage() const
{
    auto_cfref<CFTypeRef> value(CopyProperty(fURL, kCFURLIsPackageKey));
    return value && CFEqual(value, kCFBooleanTrue);
}

bool FileSpecification::IsRootFolder() const
{
    auto_cfref<CFURLRef> root(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/"), kCFURLPOSIXPathStyle, true));
    return IsFolder() && SameURL(fURL, root);
}

bool FileSpecification::InSameFolder(const FileSpecification& other) const
{
    return SameURL(fParentURL, other.fParentURL);
}

bool FileSpecification::OnSameVolume(const FileSpecification& other) const
{
    if (!fParentIsFolder || !other.fParentIsFolder) {
        return false;
    }
    auto_cfref<CFTypeRef> mine(CopyProperty(fURL, kCFURLVolumeIdentifierKey));
    auto_cfref<CFTypeRef> theirs(CopyProperty(other.fURL, kCFURLVolumeIdentifierKey));
    return mine && theirs && CFEqual(mine, theirs);
}

FileSpecification FileSpecification::GetParent() const
{
    return fParentURL ? FileSpecification(static_cast<CFURLRef>(fParentURL)) : FileSpecification();
}

FileSpecification FileSpecification::GetVolume() const
{
    auto_cfref<CFTypeRef> volume(CopyProperty(fURL, kCFURLVolumeURLKey));
    return volume ? FileSpecification(static_cast<CFURLRef>(static_cast<CFTypeRef>(volume)))
                  : FileSpecification();
}

UString FileSpecification::GetName() const
{
    return HFSToUString(fName);
}

void FileSpecification::SetName(const UString& name)
{
    fName = UStringToHFS(name);
}

UString FileSpecification::GetVolumeName() const
{
    auto_cfref<CFTypeRef> name(CopyProperty(fURL, kCFURLVolumeNameKey));
    return name && CFGetTypeID(name) == CFStringGetTypeID()
               ? CFToUString(static_cast<CFStringRef>(static_cast<CFTypeRef>(name)))
               : UString();
}

UString FileSpecification::GetFullPath() const
{
    return PathOf(fURL);
}

UString FileSpecification::GetDisplayPath() const
{
    return PathOf(fURL);
}

UString FileSpecification::GetShortPath() const
{
    return PathOf(fURL);
}

std::string FileSpecification::GetPOSIXPath() const
{
    return PathOf(fURL).utf8_str();
}

UString FileSpecification::GetParentPath() const
{
    return fParentIsFolder ? PathOf(fParentURL) : UString();
}

FileSpecification FileSpecification::CopyTo(const Folder& folder) const
{
    FileSpecification copy(folder, GetName());
    // A specification in what is not a folder names the item in the home folder instead.
    if (!fURL || !copy.fParentIsFolder || !copy.fURL ||
        !NS::FileManager::defaultManager()->copyItemAtURL(fURL, copy.fURL, nullptr)) {
        return FileSpecification();
    }
    return copy;
}

} // namespace Pellix
