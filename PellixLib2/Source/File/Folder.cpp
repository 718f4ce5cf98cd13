#include "Folder.h"

#include "UString/UStringConvertMac.h"

#include <Foundation/NSFileManager.h>
#include <Foundation/NSPathUtilities.h>

namespace Pellix {

namespace {

UString FirstPath(NS::SearchPathDirectory directory, NS::SearchPathDomainMask domain)
{
    auto_cfref<CFArrayRef> paths(NSSearchPathForDirectoriesInDomains(directory, domain, true));
    if (!paths || CFArrayGetCount(paths) == 0) {
        return UString();
    }
    return CFToUString(static_cast<CFStringRef>(CFArrayGetValueAtIndex(paths, 0)));
}

} // namespace

UString Folder::GetFolderTypePath(FolderType type)
{
    switch (type) {
    case kDocumentsFolder:
        return FirstPath(NS::DocumentDirectory, NS::UserDomainMask);
    case kApplicationSupportFolder:
        return FirstPath(NS::ApplicationSupportDirectory, NS::UserDomainMask);
    case kControlSurfacePlugInsFolder: {
        UString library = FirstPath(NS::LibraryDirectory, NS::LocalDomainMask);
        return library.empty()
                   ? library
                   : library.append(UString("/Audio/Plug-Ins/Vork Control Surface", UString::kUTF8));
    }
    }
    return UString();
}

Folder::Folder(FolderType type) : FileSpecification(GetFolderTypePath(type)) {}

FileSpecification Folder::SubFolder(const UString& name) const
{
    FileSpecification child(*this, name);
    if (child.IsValid() && child.Exists() && child.IsFolder()) {
        return child;
    }
    if (!GetURL()) {
        return FileSpecification();
    }
    auto_cfref<CFURLRef> url(
        CFURLCreateCopyAppendingPathComponent(nullptr, GetURL(), UStringToCF(name), true));
    if (!url || !NS::FileManager::defaultManager()->createDirectoryAtURL(url, false, nullptr, nullptr)) {
        return FileSpecification();
    }
    return FileSpecification(*this, name);
}

bool Folder::IterateFolder(std::vector<FileSpecification>& files,
                           std::vector<FileSpecification>& folders) const
{
    auto_cfref<CFArrayRef> items(
        NS::FileManager::defaultManager()->contentsOfDirectoryAtURL(GetURL(), nullptr, 0, nullptr));
    if (!items) {
        return false;
    }
    for (CFIndex i = 0; i < CFArrayGetCount(items); ++i) {
        auto url = static_cast<CFURLRef>(CFArrayGetValueAtIndex(items, i));
        (URLIsDirectory(url) ? folders : files).push_back(FileSpecification(url));
    }
    return true;
}

} // namespace Pellix
