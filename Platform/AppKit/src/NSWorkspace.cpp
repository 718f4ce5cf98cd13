#include <AppKit/NSWorkspace.h>

#include "ApplicationState.h"

namespace NS {

Workspace& Workspace::sharedWorkspace()
{
    static Workspace workspace;
    return workspace;
}

bool Workspace::launchApplication(String name)
{
    char buffer[256] = {};
    if (name == nullptr || !CFStringGetCString(name, buffer, sizeof(buffer), kCFStringEncodingUTF8)) {
        return false;
    }
    AppKit::recordLaunch(buffer);
    return true;
}

} // namespace NS
