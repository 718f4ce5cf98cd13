#pragma once

// A file specification that stands for a folder: the standard folders, subfolders and listing.

#include "FileLocation.h"

#include <vector>

namespace Pellix {

class Folder : public FileSpecification
{
public:
    enum FolderType
    {
        kDocumentsFolder = 0,
        kApplicationSupportFolder = 1,
        kControlSurfacePlugInsFolder = 2
    };

    // The folder's path; empty for an unknown type or when the system knows no such folder.
    static UString GetFolderTypePath(FolderType type);

    explicit Folder(FolderType type);
    Folder(const FileSpecification& specification) : FileSpecification(specification) {}

    // The existing subfolder, or a new one made here; empty when it can be neither found nor made.
    FileSpecification SubFolder(const UString& name) const;
    // Appends each item, hidden ones included, to `folders` or `files`; false when the folder cannot
    // be listed (the vectors are then untouched).
    bool IterateFolder(std::vector<FileSpecification>& files, std::vector<FileSpecification>& folders) const;
};

} // namespace Pellix
