#include <Foundation/NSURLParts.h>

namespace NS {

String scheme(URL url)
{
    return url ? CFURLCopyScheme(url) : nullptr;
}

String host(URL url)
{
    return url ? CFURLCopyHostName(url) : nullptr;
}

long port(URL url)
{
    return url ? CFURLGetPortNumber(url) : -1;
}

String lastPathComponent(URL url)
{
    return url ? CFURLCopyLastPathComponent(url) : nullptr;
}

String absoluteString(URL url)
{
    if (!url) {
        return nullptr;
    }
    CFURLRef absolute = CFURLCopyAbsoluteURL(url);
    CFStringRef text = CFStringCreateCopy(nullptr, CFURLGetString(absolute));
    CFRelease(absolute);
    return text;
}

} // namespace NS
