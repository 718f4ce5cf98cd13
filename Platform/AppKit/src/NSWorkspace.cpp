#include <AppKit/NSWorkspace.h>

#include "AppKitRecords.h"
#include "ApplicationState.h"

#include <CFPlatform/String.h>

#include <sys/stat.h>

namespace NS {

namespace {

std::string textOf(String string)
{
    return string ? CFPlatform::utf8Of(string).value_or("") : std::string();
}

bool isApplicationBundle(const std::string& path)
{
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()), true);
    CFBundleRef bundle = url ? CFBundleCreate(nullptr, url) : nullptr;
    if (url) {
        CFRelease(url);
    }
    if (!bundle) {
        return false;
    }
    CFTypeRef executable = CFBundleGetValueForInfoDictionaryKey(bundle, CFSTR("CFBundleExecutable"));
    std::string name = executable && CFGetTypeID(executable) == CFStringGetTypeID()
                           ? textOf(static_cast<CFStringRef>(executable))
                           : std::string();
    CFRelease(bundle);
    struct stat info;
    return !name.empty() && name.find('/') == std::string::npos &&
           stat((path + "/Contents/MacOS/" + name).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

Workspace& Workspace::sharedWorkspace()
{
    static Workspace workspace;
    return workspace;
}

bool Workspace::launchApplication(String path)
{
    const std::string text = textOf(path);
    AppKit::recordLaunch(text);
    return isApplicationBundle(text);
}

bool Workspace::openURL(URL url)
{
    AppKit::recordOpenedURL(url ? textOf(CFURLGetString(url)) : std::string());
    return true;
}

} // namespace NS
