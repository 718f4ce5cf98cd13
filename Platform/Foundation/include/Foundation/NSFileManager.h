#pragma once

// The file manager. Error arguments are optional: when given and the call fails, they receive a new
// POSIX-domain error that the caller releases.

#include <Foundation/NSObject.h>
#include <Foundation/NSTypes.h>

namespace NS {

class FileManager : public Object
{
public:
    static FileManager* defaultManager();

    // Whether something exists at the path (links followed); `isDirectory` tells whether it is a
    // folder.
    bool fileExistsAtPath(String path, bool* isDirectory = nullptr) const;
    // Copies a file, a link or a whole folder; fails when the destination exists.
    bool copyItemAtURL(URL source, URL destination, Error* error = nullptr) const;
    // Without intermediate folders, the parent must exist and the folder must not. No attributes are
    // supported: `attributes` must be NULL.
    bool createDirectoryAtURL(URL url, bool withIntermediateDirectories, Dictionary attributes,
                              Error* error = nullptr) const;
    // The folder's items, hidden ones included, in the order the file system gives; the caller
    // releases the array. `keys` only names properties to prefetch; no options are supported.
    Array contentsOfDirectoryAtURL(URL url, Array keys, unsigned long options, Error* error = nullptr) const;

private:
    FileManager() = default;
    ~FileManager() override = default;
};

} // namespace NS
