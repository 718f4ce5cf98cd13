#include <Foundation/NSBundle.h>

namespace NS {

Bundle* Bundle::mainBundle()
{
    static Bundle bundle;
    return &bundle;
}

String Bundle::resourcePath() const
{
    CFURLRef relative = CFBundleCopyResourcesDirectoryURL(CFBundleGetMainBundle());
    if (!relative) {
        return nullptr;
    }
    CFURLRef absolute = CFURLCopyAbsoluteURL(relative);
    CFRelease(relative);
    String path = CFURLCopyFileSystemPath(absolute, kCFURLPOSIXPathStyle);
    CFRelease(absolute);
    return path;
}

} // namespace NS
