// The last path component of a URL, its extension, and URLs with a component added or removed.

#include "URL/PercentEscapes.h"
#include "URL/URLObject.h"

#include <CFPlatform/String.h>

namespace CFPlatform {

namespace {

// The URL's own path, or its absolute path when it has none of its own.
std::string pathOf(const URLObject& url)
{
    return url.parts().path.empty() ? url.absoluteParts().path : url.parts().path;
}

std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.ends_with('/')) {
        path.pop_back();
    }
    return path;
}

std::optional<std::string> lastComponent(const URLObject& url)
{
    std::string path = withoutTrailingSlashes(pathOf(url));
    if (path == "/") {
        return path;
    }
    return unescape(path.substr(path.rfind('/') + 1));
}

// The URL's own parts with a new path; the query and fragment belong to the old path and go.
CFURLRef createWithPath(const URLObject& url, std::string path)
{
    UriReference parts = url.parts();
    parts.path = std::move(path);
    parts.query.reset();
    parts.fragment.reset();
    return URLObject::create(std::move(parts), url.base());
}

} // namespace

} // namespace CFPlatform

using namespace CFPlatform;

CFStringRef CFURLCopyLastPathComponent(CFURLRef url)
{
    std::optional<std::string> component = lastComponent(urlOf(url, "CFURLCopyLastPathComponent"));
    return component ? createStringFromUTF8(*component) : nullptr;
}

CFStringRef CFURLCopyPathExtension(CFURLRef url)
{
    std::optional<std::string> component = lastComponent(urlOf(url, "CFURLCopyPathExtension"));
    if (!component) {
        return nullptr;
    }
    size_t dot = component->rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == component->size()) {
        return nullptr;
    }
    return createStringFromUTF8(component->substr(dot + 1));
}

CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef, CFURLRef url)
{
    const URLObject& object = urlOf(url, "CFURLCreateCopyDeletingLastPathComponent");
    std::string path = object.parts().path;
    std::string trimmed = withoutTrailingSlashes(path);
    if (trimmed == "/") {
        return createWithPath(object, trimmed);
    }
    std::string last = trimmed.substr(trimmed.rfind('/') + 1);
    if (last.empty() || last == "." || last == "..") {
        // Nothing named to remove: step up instead.
        if (!path.empty() && !path.ends_with('/')) {
            path += '/';
        }
        return createWithPath(object, path + "../");
    }
    trimmed.erase(trimmed.size() - last.size());
    return createWithPath(object, trimmed.empty() ? "./" : trimmed);
}

CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef, CFURLRef url, CFStringRef pathComponent,
                                               Boolean isDirectory)
{
    const URLObject& object = urlOf(url, "CFURLCreateCopyAppendingPathComponent");
    std::optional<std::string> component = pathComponent ? utf8Of(pathComponent) : std::nullopt;
    if (!component || component->find('\0') != std::string::npos) {
        return nullptr;
    }
    std::string path = object.parts().path;
    bool firstSegmentOfRelative = path.empty() && !object.parts().authority;
    if (!firstSegmentOfRelative && !path.ends_with('/')) {
        path += '/';
    }
    path += escapePath(*component, firstSegmentOfRelative);
    if (isDirectory && !path.ends_with('/')) {
        path += '/';
    }
    return createWithPath(object, std::move(path));
}

Boolean CFURLHasDirectoryPath(CFURLRef anURL)
{
    return pathOf(urlOf(anURL, "CFURLHasDirectoryPath")).ends_with('/');
}
