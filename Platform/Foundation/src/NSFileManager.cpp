#include <Foundation/NSFileManager.h>

#include <CFPlatform/Object.h>

#include "FilePaths.h"

#include <cerrno>
#include <dirent.h>
#include <filesystem>
#include <sys/stat.h>

namespace NS {

using NSPlatform::fail;
using NSPlatform::pathOf;

FileManager* FileManager::defaultManager()
{
    static FileManager* const manager = new FileManager();
    return manager;
}

bool FileManager::fileExistsAtPath(String path, bool* isDirectory) const
{
    std::optional<std::string> file = pathOf(path);
    struct stat status;
    if (!file || stat(file->c_str(), &status) != 0) {
        return false;
    }
    if (isDirectory) {
        *isDirectory = S_ISDIR(status.st_mode);
    }
    return true;
}

bool FileManager::copyItemAtURL(URL source, URL destination, Error* error) const
{
    std::optional<std::string> from = pathOf(source);
    std::optional<std::string> to = pathOf(destination);
    if (!from || !to) {
        return fail(EINVAL, error);
    }
    struct stat status;
    if (lstat(to->c_str(), &status) == 0) {
        return fail(EEXIST, error);
    }
    std::error_code code;
    std::filesystem::copy(
        *from, *to, std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks,
        code);
    return code ? fail(code.value(), error) : true;
}

bool FileManager::createDirectoryAtURL(URL url, bool withIntermediateDirectories, Dictionary attributes,
                                       Error* error) const
{
    if (attributes) {
        CFPlatform::fatal("NSFileManager createDirectoryAtURL", "attributes are not supported");
    }
    std::optional<std::string> path = pathOf(url);
    if (!path) {
        return fail(EINVAL, error);
    }
    if (!withIntermediateDirectories) {
        return mkdir(path->c_str(), 0777) == 0 ? true : fail(errno, error);
    }
    std::error_code code;
    std::filesystem::create_directories(*path, code);
    return code ? fail(code.value(), error) : true;
}

Array FileManager::contentsOfDirectoryAtURL(URL url, Array, unsigned long options, Error* error) const
{
    if (options != 0) {
        CFPlatform::fatal("NSFileManager contentsOfDirectoryAtURL", "options are not supported");
    }
    std::optional<std::string> path = pathOf(url);
    DIR* folder = path ? opendir(path->c_str()) : nullptr;
    if (!folder) {
        fail(path ? errno : EINVAL, error);
        return nullptr;
    }
    CFMutableArrayRef items = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    while (const dirent* entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string itemPath = *path + "/" + name;
        struct stat status;
        bool isFolder = stat(itemPath.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
        CFURLRef item =
            CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(itemPath.data()),
                                                    static_cast<CFIndex>(itemPath.size()), isFolder);
        if (item) {
            CFArrayAppendValue(items, item);
            CFRelease(item);
        }
    }
    closedir(folder);
    return items;
}

} // namespace NS
