#include "FilePaths.h"

#include <vector>

namespace NSPlatform {

std::optional<std::string> pathOf(NS::URL url)
{
    char path[4096];
    if (!url || !CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8*>(path), sizeof path)) {
        return std::nullopt;
    }
    return std::string(path);
}

std::optional<std::string> pathOf(NS::String path)
{
    if (!path) {
        return std::nullopt;
    }
    std::vector<char> buffer(static_cast<size_t>(CFStringGetLength(path)) * 4 + 1);
    if (!CFStringGetCString(path, buffer.data(), static_cast<CFIndex>(buffer.size()),
                            kCFStringEncodingUTF8)) {
        return std::nullopt;
    }
    return std::string(buffer.data());
}

NS::String createString(const std::string& text)
{
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                   static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
}

bool fail(int code, NS::Error* error)
{
    if (error) {
        *error = CFErrorCreate(nullptr, kCFErrorDomainPOSIX, code, nullptr);
    }
    return false;
}

} // namespace NSPlatform
