#pragma once

// A file or folder named by its file URL, with its parent folder's URL and its name. Nothing is
// cached: every question about existence asks the file system again, and no operation throws on a
// file-system failure.

#include "UString/UString.h"

#include <AutoCFRef.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/CoreServices.h>

#include <string>

namespace Pellix {

class Folder;

// The URL is not null and what it names is reachable.
bool FileURLIsValid(CFURLRef url);
// Something exists at the URL's path and it is a folder.
bool URLIsDirectory(CFURLRef url);
// `component` appended to `base` names an existing folder.
bool PathComponentIsDirectory(CFURLRef base, CFStringRef component);

class FileSpecification
{
public:
    FileSpecification() = default;
    explicit FileSpecification(const UString& path);
    // Empty when the URL is null or names nothing reachable.
    explicit FileSpecification(CFURLRef url);
    // `name` in `parent`'s folder, or in the home folder when `parent` is no existing folder.
    FileSpecification(const FileSpecification& parent, const UString& name);
    FileSpecification(const FileSpecification& other);
    FileSpecification& operator=(const FileSpecification& other);
    virtual ~FileSpecification() = default;

    bool operator==(const FileSpecification& other) const;
    bool operator<(const FileSpecification& other) const;

    // Named, in an existing folder; the item itself need not exist.
    bool IsValid() const;
    bool Exists() const;
    bool IsFile() const;
    bool IsFolder() const;
    bool IsPackage() const;
    bool IsRootFolder() const;
    bool InSameFolder(const FileSpecification& other) const;
    bool OnSameVolume(const FileSpecification& other) const;

    FileSpecification GetParent() const;
    FileSpecification GetVolume() const;
    UString GetName() const;
    // Replaces the stored name only; the URLs stay.
    void SetName(const UString& name);
    UString GetVolumeName() const;
    UString GetFullPath() const;
    UString GetDisplayPath() const;
    UString GetShortPath() const;
    std::string GetPOSIXPath() const;
    UString GetParentPath() const;
    CFURLRef GetURL() const { return fURL; }

    // Copies the item into `folder` under its own name; empty when the copy fails or `folder` is no
    // existing folder.
    FileSpecification CopyTo(const Folder& folder) const;

private:
    void TakeURL(CFURLRef url);

    auto_cfref<CFURLRef> fParentURL;
    auto_cfref<CFURLRef> fURL;
    HFSUniStr255 fName{};
    bool fParentIsFolder = false;
};

} // namespace Pellix
