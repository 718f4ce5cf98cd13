#include <Foundation/NSURL.h>

namespace NS {

URL fileURLWithPath(String path, bool isDirectory)
{
    return path ? CFURLCreateWithFileSystemPath(nullptr, path, kCFURLPOSIXPathStyle, isDirectory) : nullptr;
}

URL URLWithString(String text)
{
    return text ? CFURLCreateWithString(nullptr, text, nullptr) : nullptr;
}

String path(URL url)
{
    return url ? CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle) : nullptr;
}

} // namespace NS
