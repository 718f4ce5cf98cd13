#include "URL/FileSystemPaths.h"

#include "URL/PercentEscapes.h"
#include "URL/URLObject.h"

#include <CFPlatform/String.h>

#include <climits>
#include <cstring>
#include <unistd.h>

namespace CFPlatform {

namespace {

CFURLRef createWorkingDirectoryURL()
{
    char buffer[PATH_MAX];
    if (!getcwd(buffer, sizeof(buffer))) {
        return nullptr;
    }
    return createFileURL(buffer, true);
}

// A relative path's URL text: a ':' in the first segment is escaped, so it cannot read as a scheme.
std::string escapeRelativePath(std::string_view path)
{
    size_t slash = path.find('/');
    std::string_view first = path.substr(0, slash);
    std::string text = escapePath(first, true);
    if (slash != std::string_view::npos) {
        text += escapePath(path.substr(slash));
    }
    return text;
}

bool namesLocalHost(const UriReference& parts)
{
    return !parts.authority || parts.authority->empty() || *parts.authority == "localhost";
}

} // namespace

CFURLRef createFileURL(std::string_view path, bool isDirectory)
{
    if (path.empty() || path.find('\0') != std::string_view::npos) {
        return nullptr;
    }
    std::string trimmed(path);
    while (trimmed.size() > 1 && trimmed.ends_with('/')) {
        trimmed.pop_back();
    }
    if (isDirectory && !trimmed.ends_with('/')) {
        trimmed += '/';
    }

    UriReference parts;
    if (trimmed.starts_with('/')) {
        parts.scheme = "file";
        parts.authority = "";
        parts.path = escapePath(trimmed);
        return URLObject::create(std::move(parts), nullptr);
    }
    CFURLRef base = createWorkingDirectoryURL();
    if (!base) {
        return nullptr;
    }
    parts.path = escapeRelativePath(trimmed);
    CFURLRef url = URLObject::create(std::move(parts), base);
    CFRelease(base);
    return url;
}

std::optional<std::string> filePathOf(CFURLRef url, bool resolveAgainstBase, const char* call)
{
    const URLObject& object = urlOf(url, call);
    UriReference absolute = object.absoluteParts();
    if (absolute.scheme && (!absolute.isFileScheme() || !namesLocalHost(absolute))) {
        return std::nullopt;
    }
    const std::string& path = resolveAgainstBase ? absolute.path : object.parts().path;
    std::optional<std::string> decoded = unescape(path);
    if (!decoded || decoded->find('\0') != std::string::npos) {
        return std::nullopt;
    }
    while (decoded->size() > 1 && decoded->ends_with('/')) {
        decoded->pop_back();
    }
    return decoded;
}

} // namespace CFPlatform

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath, CFURLPathStyle pathStyle,
                                       Boolean isDirectory)
{
    if (!filePath || pathStyle != kCFURLPOSIXPathStyle) {
        return nullptr;
    }
    std::optional<std::string> path = CFPlatform::utf8Of(filePath);
    return path ? CFPlatform::createFileURL(*path, isDirectory) : nullptr;
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory)
{
    if (!buffer || bufLen <= 0) {
        return nullptr;
    }
    return CFPlatform::createFileURL({reinterpret_cast<const char*>(buffer), static_cast<size_t>(bufLen)},
                                     isDirectory);
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle)
{
    std::optional<std::string> path = CFPlatform::filePathOf(anURL, false, "CFURLCopyFileSystemPath");
    if (!path || pathStyle != kCFURLPOSIXPathStyle) {
        return nullptr;
    }
    return CFPlatform::createStringFromUTF8(*path);
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer,
                                         CFIndex maxBufLen)
{
    std::optional<std::string> path =
        CFPlatform::filePathOf(url, resolveAgainstBase, "CFURLGetFileSystemRepresentation");
    if (!path || !buffer || maxBufLen < 0 || path->size() >= static_cast<size_t>(maxBufLen)) {
        return false;
    }
    std::memcpy(buffer, path->c_str(), path->size() + 1);
    return true;
}
